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
    return timeline::process_name(p.program, p.pid);
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
        return text + "from outside";
    text += what;
    if (e.carries_data)
        text += end_words(held(e.end));
    return text;
}

} // namespace plumbing_parts

namespace {

using plumbing_parts::entry_name;

// The pipes, FIFOs and sockets of a moment, in the order the tables name
// them: each object once.
std::vector<const TableEntry*> channels_of(const PlumbingMoment& m)
{
    std::vector<const TableEntry*> channels;
    for (const auto& p : m.processes)
        for (const auto& e : p.fds)
            if (e.carries_data && e.channel && e.object &&
                std::none_of(channels.begin(), channels.end(),
                             [&](const TableEntry* c) { return c->object == e.object; }))
                channels.push_back(&e);
    return channels;
}

// "4282", "4282 and 4283", "4282, 4283 and 4290"
std::string pids_text(const std::vector<int>& pids)
{
    std::string text;
    for (size_t i = 0; i < pids.size(); ++i)
        text += (i == 0 ? "" : i + 1 == pids.size() ? " and " : ", ") + std::to_string(pids[i]);
    return text;
}

// What one channel joins, and whom: channels that join alike are said
// together.
struct Flow {
    enum class Kind { joins, both_ends, no_writer, no_reader, runs };
    Kind kind = Kind::runs;
    std::vector<int> writers;
    std::vector<int> readers;
    std::vector<int> both_ways;
    // A FIFO or pipe the run did not make: processes it does not trace
    // may hold its other end (the writer that opened a FIFO found a
    // reader there).
    bool others_may_hold = false;
    bool operator==(const Flow&) const = default;
};

Flow flow_of(const PlumbingMoment& m, const Channel& channel, size_t object)
{
    Flow flow{.others_may_hold =
                  (channel.kind == Channel::Kind::pipe || channel.kind == Channel::Kind::fifo) &&
                  !channel.created_here};
    for (const auto& p : m.processes)
        for (const auto& e : p.fds) {
            if (!e.carries_data || e.object != object)
                continue;
            auto& who = e.end == End::write  ? flow.writers
                        : e.end == End::read ? flow.readers
                                             : flow.both_ways;
            if (std::find(who.begin(), who.end(), p.pid) == who.end())
                who.push_back(p.pid);
        }
    using K = Flow::Kind;
    flow.kind = !flow.both_ways.empty()                                 ? K::joins
                : !flow.writers.empty() && flow.writers == flow.readers ? K::both_ends
                : flow.writers.empty()                                  ? K::no_writer
                : flow.readers.empty()                                  ? K::no_reader
                                                                        : K::runs;
    return flow;
}

// "pipe A", "pipes A and B", "pipe A and FIFOVEK"
std::string names_text(const std::vector<const Channel*>& channels)
{
    bool pipes =
        channels.size() > 1 && std::all_of(channels.begin(), channels.end(), [](const Channel* c) {
            return c->kind == Channel::Kind::pipe && c->number > 0;
        });
    std::string text = pipes ? "pipes " : "";
    for (size_t i = 0; i < channels.size(); ++i)
        text += (i == 0                     ? ""
                 : i + 1 == channels.size() ? " and "
                                            : ", ") +
                (pipes ? letters(channels[i]->number) : channel_name(*channels[i]));
    return text;
}

// "pipe A runs from 4282 to 4283", "pipes B and C run from 4282 to 4283"
std::string flow_text(const Flow& f, const std::vector<const Channel*>& channels)
{
    std::string names = names_text(channels);
    bool many = channels.size() > 1;
    auto verb = [](const std::vector<int>& who, const char* one, const char* more) {
        return who.size() == 1 ? one : more;
    };
    switch (f.kind) {
    case Flow::Kind::joins:
        return names + (many ? " join " : " joins ") + pids_text(f.both_ways);
    case Flow::Kind::both_ends:
        return pids_text(f.writers) + verb(f.writers, " holds", " each hold") + " both ends of " +
               names;
    case Flow::Kind::no_writer:
        return names + (f.others_may_hold ? ": no writer in the trace, " : ": no writer left, ") +
               pids_text(f.readers) + verb(f.readers, " reads", " read");
    case Flow::Kind::no_reader:
        return names + (f.others_may_hold ? ": no reader in the trace, " : ": no reader left, ") +
               pids_text(f.writers) + verb(f.writers, " writes", " write");
    case Flow::Kind::runs:
        break;
    }
    return names + (many ? " run from " : " runs from ") + pids_text(f.writers) + " to " +
           pids_text(f.readers);
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
                          plural(long(m.closed_on_exec), "{1} descriptor", "{1} descriptors") +
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

// Whether the lead already says more after a colon ("After fork: the
// child holds..."): what each channel joins then follows a semicolon.
bool lead_says_more(PlumbingChange change)
{
    switch (change) {
    case PlumbingChange::received:
    case PlumbingChange::fork:
    case PlumbingChange::exec:
    case PlumbingChange::end:
    case PlumbingChange::collect:
        return true;
    default:
        return false;
    }
}

} // namespace

std::string plumbing_caption(const PlumbingMoment& m)
{
    std::string lead = caption_lead(m);
    // Channels that join the same processes the same way, said together.
    std::vector<std::pair<Flow, std::vector<const Channel*>>> flows;
    for (const TableEntry* entry : channels_of(m)) {
        const Channel* channel = &*entry->channel;
        Flow flow = flow_of(m, *channel, *entry->object);
        auto same = std::find_if(flows.begin(), flows.end(),
                                 [&](const auto& f) { return f.first == flow; });
        if (same == flows.end())
            flows.push_back({flow, {channel}});
        else
            same->second.push_back(channel);
    }
    std::string text = lead;
    bool first = !lead_says_more(m.change);
    for (const auto& [flow, channels] : flows) {
        text += (first ? ": " : "; ") + flow_text(flow, channels);
        first = false;
    }
    return text + ".";
}

} // namespace timeline
