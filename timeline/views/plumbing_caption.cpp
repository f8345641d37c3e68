// The caption of a descriptor figure, in words made from its tables:
// what changed them, then what each pipe joins ("After the closes: pipe A
// runs from 4282 to 4283.").
#include <algorithm>

#include "views/plumbing_figure.hpp"
#include "views/plumbing_parts.hpp"
#include "views/wording.hpp"

namespace timeline {

namespace plumbing_parts {

std::string process_name(const ProcessTable& p)
{
    return p.program.empty() ? program_name(p.program, p.pid)
                             : p.program + " " + std::to_string(p.pid);
}

std::string entry_name(const TableEntry& e)
{
    return e.channel ? channel_name(*e.channel) : std::string();
}

std::string entry_text(const TableEntry& e)
{
    std::string text = "fd " + std::to_string(e.fd) + ": ";
    std::string what = entry_name(e);
    if (what.empty())
        return text + "as inherited";
    text += what;
    if (e.carries_data && e.end == End::read)
        text += ", read end";
    else if (e.carries_data && e.end == End::write)
        text += ", write end";
    return text;
}

} // namespace plumbing_parts

namespace {

using plumbing_parts::entry_name;

// The pipes, FIFOs and sockets of a moment, in the order the tables name
// them.
std::vector<std::string> channels_of(const PlumbingMoment& m)
{
    std::vector<std::string> names;
    for (const auto& p : m.processes)
        for (const auto& e : p.fds)
            if (std::string name = entry_name(e);
                e.carries_data && std::find(names.begin(), names.end(), name) == names.end())
                names.push_back(name);
    return names;
}

// "4282", "4282 and 4283", "4282, 4283 and 4290"
std::string pids_text(const std::vector<int>& pids)
{
    std::string text;
    for (size_t i = 0; i < pids.size(); ++i)
        text += (i == 0 ? "" : i + 1 == pids.size() ? " and " : ", ") + std::to_string(pids[i]);
    return text;
}

// What one channel joins: "{} runs from 4282 to 4283", where "{}" stands
// for the channel, so that channels that join alike are said once.
std::string flow_text(const PlumbingMoment& m, const std::string& channel)
{
    std::vector<int> writers;
    std::vector<int> readers;
    std::vector<int> both_ways;
    for (const auto& p : m.processes)
        for (const auto& e : p.fds) {
            if (!e.carries_data || entry_name(e) != channel)
                continue;
            auto& who = e.end == End::write ? writers : e.end == End::read ? readers : both_ways;
            if (std::find(who.begin(), who.end(), p.pid) == who.end())
                who.push_back(p.pid);
        }
    if (!both_ways.empty())
        return "{} joins " + pids_text(both_ways);
    if (!writers.empty() && writers == readers)
        return pids_text(writers) + (writers.size() == 1 ? " holds" : " each hold") +
               " both ends of {}";
    if (writers.empty())
        return "{}: no writer left, " + pids_text(readers) + " reads";
    if (readers.empty())
        return "{}: no reader left, " + pids_text(writers) + " writes";
    return "{} runs from " + pids_text(writers) + " to " + pids_text(readers);
}

// "pipe A", "pipes A and B", "pipe A and FIFOVEK"
std::string names_text(const std::vector<std::string>& names)
{
    bool pipes = names.size() > 1 && std::all_of(names.begin(), names.end(), [](const auto& n) {
                     return n.starts_with("pipe ");
                 });
    std::string text = pipes ? "pipes " : "";
    for (size_t i = 0; i < names.size(); ++i)
        text += (i == 0                  ? ""
                 : i + 1 == names.size() ? " and "
                                         : ", ") +
                (pipes ? names[i].substr(5) : names[i]);
    return text;
}

// How the caption begins: what changed the tables.
std::string caption_lead(const PlumbingMoment& m)
{
    std::string who = std::to_string(m.pid);
    switch (m.change) {
    case PlumbingChange::pipe:
        return m.count == 1 ? "After " + who + " makes a pipe"
                            : "After " + who + " makes " + std::to_string(m.count) + " pipes";
    case PlumbingChange::socket_pair:
        return m.count == 1
                   ? "After " + who + " makes a socket pair"
                   : "After " + who + " makes " + std::to_string(m.count) + " socket pairs";
    case PlumbingChange::socket:
        return "After " + who + " makes " + (m.count == 1 ? "a socket" : "its sockets");
    case PlumbingChange::accept:
        return "After " + who + " accepts " + (m.count == 1 ? "a connection" : "connections");
    case PlumbingChange::new_fd:
        return "After " + who + " makes " + (m.count == 1 ? "a new descriptor" : "new descriptors");
    case PlumbingChange::received:
        return "After " + who + " receives " + (m.count == 1 ? "a descriptor" : "descriptors") +
               " through a socket: each points at the sender's open file description";
    case PlumbingChange::fork:
        return "After fork: the child holds a copy of each of its parent's descriptors, "
               "each pointing at the same open file description";
    case PlumbingChange::close:
        return m.count == 1 ? "After a close" : "After the closes";
    case PlumbingChange::dup:
        return "After " + who + " copies a descriptor";
    case PlumbingChange::exec: {
        auto p = std::find_if(m.processes.begin(), m.processes.end(),
                              [&](const ProcessTable& t) { return t.pid == m.pid; });
        return "After exec: " + who + " runs " +
               (p == m.processes.end() ? std::string("another program")
                                       : program_name(p->program, p->pid)) +
               (m.closed_on_exec == 0
                    ? std::string(", its descriptors kept")
                    : ", without the " +
                          plural(long(m.closed_on_exec), "descriptor", "descriptors") +
                          " marked close-on-exec");
    }
    case PlumbingChange::open:
        return "After " + who + " opens " + (m.count == 1 ? "a file" : "its files");
    case PlumbingChange::end:
        return "After " + who + " ends: its descriptors are closed";
    case PlumbingChange::collect:
        return "After wait(): the zombie is gone";
    }
    return "After a change";
}

} // namespace

std::string plumbing_caption(const PlumbingMoment& m)
{
    std::string lead = caption_lead(m);
    // Channels that join the same processes the same way, said together.
    std::vector<std::pair<std::string, std::vector<std::string>>> flows;
    for (const auto& channel : channels_of(m)) {
        std::string flow = flow_text(m, channel);
        auto same = std::find_if(flows.begin(), flows.end(),
                                 [&](const auto& f) { return f.first == flow; });
        if (same == flows.end())
            flows.push_back({flow, {channel}});
        else
            same->second.push_back(channel);
    }
    std::string text = lead;
    bool first = lead.find(':') == std::string::npos;
    for (const auto& [flow, names] : flows) {
        std::string said = flow;
        if (names.size() > 1)
            for (std::string_view verb : {"runs", "joins"})
                if (size_t at = said.find("{} " + std::string(verb)); at != std::string::npos)
                    said.erase(at + 3 + verb.size() - 1, 1); // "pipes B and C run"
        said.replace(said.find("{}"), 2, names_text(names));
        text += (first ? ": " : "; ") + said;
        first = false;
    }
    return text + ".";
}

} // namespace timeline
