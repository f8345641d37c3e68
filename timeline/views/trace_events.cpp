#include "views/trace_events.hpp"

#include <system_error>
#include <utility>

#include <nlohmann/json.hpp>

#include "base/language.hpp"

namespace timeline {
namespace {

using nlohmann::json;

constexpr size_t kBatchEvents = 4096;
constexpr size_t kBatchesAhead = 4;
constexpr size_t kWritten = size_t(1) << 16; // bytes gathered before a write

constexpr size_t kPooled = 1024; // events of a kind written together

// A step's slice; with `line`, the name of its one argument, the source
// line that made the step.
json slice_event(const char* line)
{
    json e = {{"ph", "X"}, {"name", ""}, {"pid", 0}, {"tid", 0}, {"ts", 0}, {"dur", 0}};
    if (line)
        e["args"] = {{line, ""}};
    return e;
}

json flow_event(bool start)
{
    json e = {{"ph", start ? "s" : "f"},
              {"cat", "flow"},
              {"id", 0},
              {"name", ""},
              {"pid", 0},
              {"tid", 0},
              {"ts", 0}};
    if (!start)
        e["bp"] = "e"; // bound to the slice it comes into
    return e;
}

void set_text(json& value, std::string_view text)
{
    value.get_ref<std::string&>().assign(text);
}

} // namespace

// Events of one kind, written a thousand at a time: the library's objects
// are made once and filled anew, each field found once, and the library
// writes them together, as the items of an array.
struct TraceEvents::Pool {
    struct Fields {
        json* name;
        json* pid;
        json* tid;
        json* ts;
        json* dur;
        json* id;
        json* arg; // the one argument: a line, a parent, a track's name or place
    };
    json model;
    const char* arg_key; // where its argument goes in "args", or nullptr
    json events = json::array();
    std::vector<Fields> fields;
    size_t used = 0;

    Pool(json m, const char* key) : model(std::move(m)), arg_key(key) {}

    // The next event to fill.
    Fields& next()
    {
        if (used == events.size()) {
            events.push_back(model);
            json& e = events.back();
            auto field = [&](const char* k) { return e.contains(k) ? &e[k] : nullptr; };
            fields.push_back({field("name"), field("pid"), field("tid"), field("ts"), field("dur"),
                              field("id"), arg_key ? &e["args"][arg_key] : nullptr});
        }
        return fields[used++];
    }
    // Its events as JSON, without the array's brackets; none left.
    std::string written()
    {
        if (used < events.size()) {
            events.get_ref<json::array_t&>().resize(used);
            fields.resize(used);
        }
        std::string text =
            used == 0 ? "[]" : events.dump(-1, ' ', false, json::error_handler_t::replace);
        used = 0;
        return text.substr(1, text.size() - 2);
    }
};

TraceEvents::TraceEvents(std::FILE* file) : file_(file)
{
    json_ = "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n";
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No thread to be had: the caller writes, more slowly.
    }
}

TraceEvents::~TraceEvents()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void TraceEvents::add(Event event, std::string_view name, std::string_view line)
{
    event.name_at = uint32_t(batch_.text.size());
    event.name_size = uint32_t(name.size());
    batch_.text += name;
    event.line_at = uint32_t(batch_.text.size());
    event.line_size = uint32_t(line.size());
    batch_.text += line;
    batch_.events.push_back(event);
    if (batch_.events.size() >= kBatchEvents)
        hand_over();
}

void TraceEvents::slice(int pid, int tid, int64_t ts, int64_t dur, std::string_view name,
                        std::string_view line)
{
    add({line.empty() ? Kind::slice : Kind::slice_at_line, pid, tid, ts, dur, 0, 0, 0, 0, 0}, name,
        line);
}

void TraceEvents::life(int pid, int tid, int64_t ts, int64_t dur, std::string_view name, int parent)
{
    add({parent != 0 ? Kind::life_of_child : Kind::life, pid, tid, ts, dur, parent, 0, 0, 0, 0},
        name);
}

void TraceEvents::flow(bool start, long long id, std::string_view name, int pid, int tid,
                       int64_t ts)
{
    add({start ? Kind::flow_start : Kind::flow_end, pid, tid, ts, 0, id, 0, 0, 0, 0}, name);
}

void TraceEvents::name(bool process, int pid, int tid, std::string_view name)
{
    add({process ? Kind::process_name : Kind::thread_name, pid, tid, 0, 0, 0, 0, 0, 0, 0}, name);
}

void TraceEvents::order(bool process, int pid, int tid, long long index)
{
    add({process ? Kind::process_order : Kind::thread_order, pid, tid, 0, 0, index, 0, 0, 0, 0},
        {});
}

void TraceEvents::hand_over()
{
    if (!thread_.joinable()) {
        write(batch_);
        batch_.text.clear();
        batch_.events.clear();
        return;
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return ready_.size() < kBatchesAhead; });
    ready_.push_back(std::move(batch_));
    batch_ = Batch{};
    if (!spare_.empty()) {
        batch_ = std::move(spare_.front());
        spare_.pop_front();
    }
    lock.unlock();
    changed_.notify_all();
}

void TraceEvents::run()
{
    for (;;) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return done_ || !ready_.empty(); });
        if (ready_.empty())
            return;
        Batch batch = std::move(ready_.front());
        ready_.pop_front();
        lock.unlock();
        changed_.notify_all();
        write(batch);
        batch.text.clear();
        batch.events.clear();
        lock.lock();
        spare_.push_back(std::move(batch));
    }
}

TraceEvents::Pool& TraceEvents::pool(Kind kind)
{
    auto& pool = pools_[size_t(kind)];
    if (!pool) {
        switch (kind) {
        case Kind::slice:
            pool = std::make_unique<Pool>(slice_event(nullptr), nullptr);
            break;
        case Kind::slice_at_line: {
            // TRANSLATORS: an argument's name in Perfetto's UI: the source line of a step.
            const char* line = tr_ctx("Perfetto argument", "line");
            pool = std::make_unique<Pool>(slice_event(line), line);
            break;
        }
        case Kind::life:
        case Kind::life_of_child:
            pool = std::make_unique<Pool>(
                json{{"ph", "X"},
                     {"cat", "life"},
                     {"name", ""},
                     {"pid", 0},
                     {"tid", 0},
                     {"ts", 0},
                     {"dur", 0},
                     {"args", {{"pid", 0}}}},
                kind == Kind::life_of_child ? tr_ctx("Perfetto argument", "parent") : nullptr);
            break;
        case Kind::flow_start:
        case Kind::flow_end:
            pool = std::make_unique<Pool>(flow_event(kind == Kind::flow_start), nullptr);
            break;
        default:
            pool = std::make_unique<Pool>(
                json{{"ph", "M"}, {"name", ""}, {"pid", 0}, {"tid", 0}, {"args", json::object()}},
                kind == Kind::process_name || kind == Kind::thread_name ? "name" : "sort_index");
            break;
        }
    }
    return *pool;
}

void TraceEvents::write(const Batch& batch)
{
    for (const Event& e : batch.events) {
        std::string_view name(batch.text.data() + e.name_at, e.name_size);
        std::string_view line(batch.text.data() + e.line_at, e.line_size);
        Pool& p = pool(e.kind);
        Pool::Fields& f = p.next();
        switch (e.kind) {
        case Kind::slice_at_line:
            set_text(*f.arg, line);
            break;
        case Kind::life_of_child:
            *f.arg = e.id;
            break;
        case Kind::process_name:
        case Kind::thread_name:
            *f.arg = name;
            name = e.kind == Kind::process_name ? "process_name" : "thread_name";
            break;
        case Kind::process_order:
        case Kind::thread_order:
            *f.arg = e.id;
            name = e.kind == Kind::process_order ? "process_sort_index" : "thread_sort_index";
            break;
        default:
            break;
        }
        if (e.kind == Kind::life || e.kind == Kind::life_of_child)
            p.events[p.used - 1]["args"]["pid"] = e.tid;
        set_text(*f.name, name);
        *f.pid = e.pid;
        *f.tid = e.tid;
        if (f.ts)
            *f.ts = e.ts;
        if (f.dur)
            *f.dur = e.dur;
        if (f.id)
            *f.id = e.id;
        if (p.used == kPooled)
            write_pool(p);
    }
}

void TraceEvents::write_pool(Pool& pool)
{
    std::string events = pool.written();
    if (events.empty())
        return;
    if (!first_)
        json_ += ",\n";
    first_ = false;
    json_ += events;
    if (json_.size() >= kWritten)
        write_out();
}

void TraceEvents::write_out()
{
    if (!json_.empty() && std::fwrite(json_.data(), 1, json_.size(), file_) != json_.size())
        ok_ = false;
    json_.clear();
}

bool TraceEvents::finish()
{
    hand_over();
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    for (auto& pool : pools_)
        if (pool)
            write_pool(*pool);
    json_ += "\n],\"otherData\":{\"producer\":\"syscall_timeline\"}}\n";
    write_out();
    return ok_ && std::fflush(file_) == 0 && !std::ferror(file_);
}

} // namespace timeline
