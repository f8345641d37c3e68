#include "views/book_player.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <map>

#include "base/language.hpp"
#include "views/wording.hpp"

namespace timeline {

std::string step_anchor(const std::string& lesson, size_t step)
{
    std::string id = lesson;
    id += "-s";
    id += std::to_string(step);
    return escape_markup(id);
}

std::string line_anchor(const std::string& lesson, size_t file, int line)
{
    std::string id = lesson;
    id += "-f";
    id += std::to_string(file);
    id += "-L";
    id += std::to_string(line);
    return escape_markup(id);
}

namespace {

using nlohmann::json;

// A letter and a number, "D1". Built by appending: g++ 12 warns falsely
// (-Wrestrict) on "D" + std::to_string(n) once it is inlined.
std::string tagged(char letter, size_t number)
{
    std::string name(1, letter);
    name += std::to_string(number);
    return name;
}

// Descriptions by short names in the order the run made them ("D1"),
// objects by their channel ("O3").
class Names {
public:
    std::string description(size_t id)
    {
        auto [it, made] = descriptions_.try_emplace(id, descriptions_.size() + 1);
        return tagged('D', it->second);
    }
    static std::string object(size_t channel) { return tagged('O', channel); }

private:
    std::map<size_t, size_t> descriptions_;
};

const char* life_word(WorldProcess::Life life)
{
    switch (life) {
    case WorldProcess::Life::running:
        return "running";
    case WorldProcess::Life::stopped:
        return "stopped";
    case WorldProcess::Life::zombie:
        return "zombie";
    }
    return "running";
}

json process_json(const Run& run, const WorldProcess& p, Names& names)
{
    json fds = json::array();
    for (const auto& [fd, id] : p.fds)
        fds.push_back({fd, names.description(id), p.cloexec.count(fd) > 0});
    std::string name = program_name(p.program, p.pid);
    if (!p.program.empty()) {
        name += ' ';
        name += std::to_string(p.pid);
    }
    const Process* known = run.process(p.pid);
    if (known && known->child)
        name = fill(tr("{1} child"), {name});
    json shown = {{"pid", p.pid},
                  {"name", name},
                  {"life", life_word(p.life)},
                  {"from", p.adopted_from},
                  {"fds", std::move(fds)}};
    if (p.in_call)
        shown["call"] = {*p.in_call, p.call_waits};
    return shown;
}

json object_json(const WorldObject& o)
{
    json shown = {{"n", channel_name(o.channel)}};
    if (o.channel.carries_data() && o.channel.kind != Channel::Kind::socket &&
        !o.channel.received_outside())
        shown["f"] = in_flight_text(o);
    if (o.received > 0) {
        std::string quoted = "\"" + printable(o.received_bytes);
        quoted += size_t(o.received) > o.received_bytes.size() ? "\"\xe2\x80\xa6" : "\"";
        shown["r"] =
            fill(tr("received {1}: {2}"), {plural(o.received, "{1} byte", "{1} bytes"), quoted});
    }
    return shown;
}

json change_json(const Run& run, const WorldLog::Change& c, Names& names)
{
    json out = json::object();
    auto put = [&](const char* key, json value) {
        if (!value.empty())
            out[key] = std::move(value);
    };
    json procs = json::array();
    for (const auto& p : c.processes)
        procs.push_back(process_json(run, p, names));
    put("p", std::move(procs));
    put("pg", c.processes_gone);
    json descriptions = json::array();
    for (const auto& [id, d] : c.descriptions)
        descriptions.push_back({names.description(id),
                                {{"m", description_mode(d)},
                                 {"x", description_detail(d)},
                                 {"o", d.object ? Names::object(*d.object) : std::string()}}});
    put("d", std::move(descriptions));
    json gone = json::array();
    for (size_t id : c.descriptions_gone)
        gone.push_back(names.description(id));
    put("dg", std::move(gone));
    json objects = json::array();
    for (const auto& [id, o] : c.objects)
        objects.push_back({Names::object(id), object_json(o)});
    put("o", std::move(objects));
    json objects_gone = json::array();
    for (size_t id : c.objects_gone)
        objects_gone.push_back(Names::object(id));
    put("og", std::move(objects_gone));
    return out;
}

// JSON as the text of a <script> element: no "</script" may appear in
// it, and "<" only occurs in its strings.
std::string script_safe(const json& data)
{
    std::string text = data.dump(-1, ' ', false, json::error_handler_t::replace);
    std::string safe;
    safe.reserve(text.size());
    for (char c : text)
        if (c == '<')
            safe += "\\u003c";
        else
            safe += c;
    return safe;
}

// The line that made each step, as the source view's anchor.
std::string line_of(const Step& s, const std::string& lesson,
                    const std::vector<AnnotatedSource>& files)
{
    if (!s.source)
        return "";
    for (size_t f = 0; f < files.size(); ++f)
        if (files[f].found && files[f].path == s.source->file)
            return line_anchor(lesson, f, s.source->line);
    return "";
}

} // namespace

std::string player_data(const Run& run, const std::string& lesson,
                        const std::vector<AnnotatedSource>& files)
{
    const WorldLog* world = run.world();
    if (!world || run.steps().empty())
        return "";
    Names names;
    std::map<size_t, const WorldLog::Change*> changes;
    for (const auto& c : world->changes())
        changes[c.step] = &c;
    json steps = json::array();
    const auto& kept = run.steps();
    for (size_t i = 0; i < kept.size(); ++i) {
        const Step& s = kept[i];
        char time[32];
        (void)std::snprintf(time, sizeof time, "%.3f", s.time);
        json step = {{"who", process_label(*run.process(s.pid), i)},
                     {"t", time},
                     {"w", describe(run, i)},
                     {"line", line_of(s, lesson, files)},
                     {"a", step_anchor(lesson, i)}};
        if (auto c = changes.find(i); c != changes.end())
            step["c"] = change_json(run, *c->second, names);
        steps.push_back(std::move(step));
    }
    json data = {{"lesson", lesson}, {"steps", std::move(steps)}, {"all", run.step_count()}};
    return script_safe(data);
}

std::string player_words()
{
    // What the player says, by the names player.js asks for. A {1} is
    // filled there, as fill() fills it here.
    json words = {
        {"heading", tr("Step through the run")},
        {"label", tr("Step through the run of {1}")},
        {"first", tr_ctx("player button", "first")},
        {"back", tr("\xe2\x97\x80 back")},
        {"next", tr("next \xe2\x96\xb6")},
        {"last", tr_ctx("player button", "last")},
        {"firstTitle", tr("first step (Home)")},
        {"backTitle", tr("step back (\xe2\x86\x90)")},
        {"nextTitle", tr("next step (\xe2\x86\x92)")},
        {"lastTitle", tr("last step (End)")},
        {"slider", tr_ctx("player slider", "step")},
        {"count", tr("step {1} of {2}")},
        {"countCut", tr("step {1} of {2} (the first {3} of {4})")},
        {"link", tr("link to this step")},
        {"save", tr("these tables as SVG")},
        {"saveTitle", tr("the step's three tables as a picture of their own, for a slide")},
        {"inTimeline", tr("(in the timeline)")},
        {"procs", tr("Processes and their descriptors")},
        {"descs", tr("Open file descriptions")},
        {"objs", tr("Objects")},
        {"zombie", tr("a zombie: ended, not collected yet")},
        {"stopped", tr_ctx("process state", "stopped")},
        {"running", tr_ctx("process state", "running")},
        {"waiting", tr("waiting, in the call of step {1}: {2}")},
        {"inside", tr("inside the call of step {1}: {2}")},
        {"adopted", tr("{1}; adopted (its parent {2} ended)")},
        {"holds", tr("{1} ({2}) holds {3}")},
        {"holdsNothing", tr("{1} ({2}) holds nothing")},
    };
    return script_safe(words);
}

} // namespace timeline
