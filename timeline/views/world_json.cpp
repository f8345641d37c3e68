#include "views/world_json.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include <nlohmann/json.hpp>

#include "model/world.hpp"

namespace timeline {

namespace {

using nlohmann::json;

const char* life_name(WorldProcess::Life life)
{
    switch (life) {
    case WorldProcess::Life::stopped:
        return "stopped";
    case WorldProcess::Life::zombie:
        return "zombie";
    case WorldProcess::Life::running:
        break;
    }
    return "running";
}

const char* end_name(End end)
{
    return end == End::read ? "read" : end == End::write ? "write" : "unknown";
}

json access_json(const std::optional<Access>& access)
{
    if (!access)
        return nullptr;
    return *access == Access::read ? "read" : *access == Access::write ? "write" : "read_write";
}

const char* kind_name(Channel::Kind kind)
{
    switch (kind) {
    case Channel::Kind::pipe:
        return "pipe";
    case Channel::Kind::fifo:
        return "fifo";
    case Channel::Kind::socket:
        return "socket";
    case Channel::Kind::counter:
        return "counter";
    case Channel::Kind::terminal:
        return "terminal";
    case Channel::Kind::file:
        return "file";
    case Channel::Kind::other:
        break;
    }
    return "other";
}

// A signal's name as strace writes it ("SIGCHLD", "SIGRTMIN", "SIGRT_1").
std::string signal_name(int n)
{
    constexpr int kRealTime = 32;
    if (n < kRealTime) {
        const char* abbrev = sigabbrev_np(n);
        return abbrev ? std::string("SIG") + abbrev : std::to_string(n);
    }
    return n == kRealTime ? "SIGRTMIN" : "SIGRT_" + std::to_string(n - kRealTime);
}

json process_json(const WorldProcess& p)
{
    json fds = json::object();
    for (const auto& [fd, id] : p.fds)
        fds[std::to_string(fd)] = id;
    json blocked = json::array();
    for (int n = 1; n <= 64; ++n)
        if ((p.blocked >> (n - 1)) & 1U)
            blocked.push_back(signal_name(n));
    return {{"pid", p.pid},
            {"parent", p.parent},
            {"program", p.program},
            {"life", life_name(p.life)},
            {"in_call", p.in_call ? json(*p.in_call) : json(nullptr)},
            {"call_waits", p.call_waits},
            {"adopted_from", p.adopted_from},
            {"fds", std::move(fds)},
            {"cloexec", p.cloexec},
            {"group", p.group},
            {"ignored", p.ignored},
            {"handled", p.handled},
            {"blocked", std::move(blocked)},
            {"hidden", p.hidden}};
}

json description_json(const WorldDescription& d)
{
    return {{"object", d.object ? json(*d.object) : json(nullptr)},
            {"end", end_name(d.end)},
            {"access", access_json(d.access)},
            {"flags", d.flags},
            {"offset", d.offset ? json(*d.offset) : json(nullptr)},
            {"refs", d.refs},
            {"outside", d.outside}};
}

json object_json(const WorldObject& o)
{
    return {{"kind", kind_name(o.channel.kind)},    {"path", o.channel.path},
            {"target", o.channel.target},           {"in_flight", o.in_flight},
            {"in_flight_exact", o.in_flight_exact}, {"received", o.received}};
}

json world_json(size_t step, const World& world)
{
    json processes = json::array();
    for (const auto& p : world.processes)
        processes.push_back(process_json(p));
    json descriptions = json::object();
    for (const auto& [id, d] : world.descriptions)
        descriptions[std::to_string(id)] = description_json(d);
    json objects = json::object();
    for (const auto& [id, o] : world.objects)
        objects[std::to_string(id)] = object_json(o);
    return {{"step", step},
            {"processes", std::move(processes)},
            {"descriptions", std::move(descriptions)},
            {"objects", std::move(objects)}};
}

} // namespace

void WorldJson::finish(const Run& run)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(path_.c_str(), "wb"),
                                                        std::fclose);
    if (!out)
        throw std::system_error(errno, std::generic_category(), path_);
    World world;
    if (const WorldLog* log = run.world())
        for (const auto& change : log->changes()) {
            WorldLog::apply(world, change);
            std::string line =
                world_json(change.step, world).dump(-1, ' ', false, json::error_handler_t::replace);
            line += '\n';
            (void)std::fwrite(line.data(), 1, line.size(), out.get());
        }
    if (std::fflush(out.get()) != 0 || std::ferror(out.get()) != 0)
        throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), path_);
}

} // namespace timeline
