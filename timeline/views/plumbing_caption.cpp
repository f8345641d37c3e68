// The caption of a descriptor figure, in words made from its tables:
// what changed them, then what each pipe joins ("After the closes: pipe A
// runs from 4282 to 4283."); and the figure in words, for a reader who
// cannot see it.
#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/language.hpp"
#include "views/plumbing_figure.hpp"
#include "views/plumbing_parts.hpp"
#include "views/wording.hpp"

namespace timeline {

namespace plumbing_parts {

std::string process_name(const ProcessTable& p)
{
    return timeline::process_name(p.program, p.pid);
}

std::string process_title(const ProcessTable& p)
{
    return p.zombie ? fill(tr("{1} (zombie)"), {process_name(p)}) : process_name(p);
}

std::string entry_name(const TableEntry& e)
{
    return e.channel ? channel_name(*e.channel) : std::string();
}

std::string entry_text(const TableEntry& e)
{
    std::string fd = std::to_string(e.fd);
    std::string what = entry_name(e);
    if (what.empty())
        return fill(tr("fd {1}: from outside"), {fd});
    std::string_view end = e.carries_data ? end_name(held(e.end)) : std::string_view();
    // TRANSLATORS: "fd 3: pipe A, read end"
    return end.empty() ? fill(tr("fd {1}: {2}"), {fd, what})
                       : fill(tr("fd {1}: {2}, {3}"), {fd, what, end});
}

// The figure in words, for a reader who cannot see it: what each
// process holds, then the caption.
std::string figure_words(const PlumbingMoment& m)
{
    std::string text;
    for (const auto& p : m.processes) {
        if (p.zombie) {
            text += fill(tr("{1} is a zombie and holds nothing."), {process_name(p)}) + " ";
            continue;
        }
        std::string held;
        for (size_t k = 0; k < p.fds.size(); ++k) {
            held += k == 0 ? "" : tr("; ");
            auto d = m.world.descriptions.find(p.fds[k].description);
            held += d != m.world.descriptions.end() && d->second.refs > 1
                        ? fill(tr("{1} (a description {2} descriptors share)"),
                               {entry_text(p.fds[k]), std::to_string(d->second.refs)})
                        : entry_text(p.fds[k]);
        }
        text += fill(tr("{1} holds {2}."), {process_name(p), held}) + " ";
    }
    return text + plumbing_caption(m);
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

// What comes before the item `i` of a list of `n`: "", ", " or " and ".
const char* list_separator(size_t i, size_t n)
{
    return i == 0 ? "" : i + 1 == n ? tr(" and ") : tr(", ");
}

// "4282", "4282 and 4283", "4282, 4283 and 4290"
std::string pids_text(const std::vector<int>& pids)
{
    std::string text;
    for (size_t i = 0; i < pids.size(); ++i)
        text += list_separator(i, pids.size()) + std::to_string(pids[i]);
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

// "pipe A", "pipes A and B", "pipe A and FIFOVEK": what a sentence
// speaks of, with the article its language gives each.
std::string names_text(const std::vector<const Channel*>& channels)
{
    bool pipes =
        channels.size() > 1 && std::all_of(channels.begin(), channels.end(), [](const Channel* c) {
            return c->kind == Channel::Kind::pipe && c->number > 0;
        });
    std::string text;
    for (size_t i = 0; i < channels.size(); ++i)
        text +=
            list_separator(i, channels.size()) +
            (pipes ? letters(channels[i]->number) : channel_name(*channels[i], Article::definite));
    return pipes ? fill(tr_ctx("with article", "pipes {1}"), {text}) : text;
}

// "pipe A runs from 4282 to 4283", "pipes B and C run from 4282 to 4283":
// the verb agrees with the channels, or with the processes that hold them.
std::string flow_text(const Flow& f, const std::vector<const Channel*>& channels)
{
    std::string names = names_text(channels);
    unsigned long count = channels.size();
    switch (f.kind) {
    case Flow::Kind::joins:
        return fill(tr_n("{1} joins {2}", "{1} join {2}", count), {names, pids_text(f.both_ways)});
    case Flow::Kind::both_ends:
        return fill(
            tr_n("{1} holds both ends of {2}", "{1} each hold both ends of {2}", f.writers.size()),
            {pids_text(f.writers), names});
    case Flow::Kind::no_writer:
        return fill(f.others_may_hold
                        ? tr_n("{1}: no writer in the trace, {2} reads",
                               "{1}: no writer in the trace, {2} read", f.readers.size())
                        : tr_n("{1}: no writer left, {2} reads", "{1}: no writer left, {2} read",
                               f.readers.size()),
                    {names, pids_text(f.readers)});
    case Flow::Kind::no_reader:
        return fill(f.others_may_hold
                        ? tr_n("{1}: no reader in the trace, {2} writes",
                               "{1}: no reader in the trace, {2} write", f.writers.size())
                        : tr_n("{1}: no reader left, {2} writes", "{1}: no reader left, {2} write",
                               f.writers.size()),
                    {names, pids_text(f.writers)});
    case Flow::Kind::runs:
        break;
    }
    return fill(tr_n("{1} runs from {2} to {3}", "{1} run from {2} to {3}", count),
                {names, pids_text(f.writers), pids_text(f.readers)});
}

// After exec: what the process runs now, and which of its descriptors
// it kept.
std::string exec_lead(const PlumbingMoment& m, const std::string& who)
{
    auto p = std::find_if(m.processes.begin(), m.processes.end(),
                          [&](const ProcessTable& t) { return t.pid == m.pid; });
    std::string program = p == m.processes.end() ? std::string(tr("another program"))
                                                 : program_name(p->program, p->pid);
    if (m.closed_on_exec == 0)
        return fill(tr("After exec: {1} runs {2}, its descriptors kept"), {who, program});
    return fill(tr_n("After exec: {1} runs {2}, without the {3} descriptor marked close-on-exec",
                     "After exec: {1} runs {2}, without the {3} descriptors marked close-on-exec",
                     m.closed_on_exec),
                {who, program, std::to_string(m.closed_on_exec)});
}

// How the caption begins: what changed the tables.
std::string caption_lead(const PlumbingMoment& m)
{
    std::string who = std::to_string(m.pid);
    auto n = static_cast<unsigned long>(m.count);
    // Of one, or of several: the many all together, or counted (never
    // fewer than two).
    auto one_or_many = [&](const char* one, const char* many) {
        return fill(n == 1 ? one : many, {who, std::to_string(n)});
    };
    switch (m.change) {
    case PlumbingChange::pipe:
        return one_or_many(tr("After {1} makes a pipe"), tr("After {1} makes {2} pipes"));
    case PlumbingChange::socket_pair:
        return one_or_many(tr("After {1} makes a socket pair"),
                           tr("After {1} makes {2} socket pairs"));
    case PlumbingChange::socket:
        return fill(tr_n("After {1} makes a socket", "After {1} makes its sockets", n), {who});
    case PlumbingChange::accept:
        return fill(tr_n("After {1} accepts a connection", "After {1} accepts connections", n),
                    {who});
    case PlumbingChange::new_fd:
        return fill(tr_n("After {1} makes a new descriptor", "After {1} makes new descriptors", n),
                    {who});
    case PlumbingChange::received:
        return fill(tr_n("After {1} receives a descriptor through a socket: each points at the "
                         "sender's open file description",
                         "After {1} receives descriptors through a socket: each points at the "
                         "sender's open file description",
                         n),
                    {who});
    case PlumbingChange::fork:
        return tr("After fork: the child holds a copy of each of its parent's descriptors, "
                  "each pointing at the same open file description");
    case PlumbingChange::close:
        return tr_n("After a close", "After the closes", n);
    case PlumbingChange::dup:
        return fill(tr("After {1} copies a descriptor"), {who});
    case PlumbingChange::exec:
        return exec_lead(m, who);
    case PlumbingChange::open:
        return fill(tr_n("After {1} opens a file", "After {1} opens its files", n), {who});
    case PlumbingChange::end:
        return fill(tr("After {1} ends: its descriptors are closed"), {who});
    case PlumbingChange::collect:
        return tr("After wait(): the zombie is gone");
    }
    return tr("After a change");
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
    if (flows.empty())
        return fill(tr("{1}."), {lead});
    std::string joined;
    for (const auto& [flow, channels] : flows)
        joined += (joined.empty() ? "" : tr("; ")) + flow_text(flow, channels);
    // TRANSLATORS: what changed the tables, then what each channel joins:
    // "After the closes: pipe A runs from 4282 to 4283; pipe B ...".
    return lead_says_more(m.change) ? fill(tr("{1}; {2}."), {lead, joined})
                                    : fill(tr("{1}: {2}."), {lead, joined});
}

} // namespace timeline
