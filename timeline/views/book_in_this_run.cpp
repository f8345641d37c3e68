// What a lesson's run did that its text cannot promise: who waited, and
// how long, where the scheduler decided; who was adopted; what tracing
// itself changed.
#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "views/book.hpp"
#include "views/wording.hpp"

namespace timeline {
namespace {

// One note of what a process did: its name, then the words.
std::string note_of(const std::string& who, std::initializer_list<std::string> words)
{
    std::string note = who;
    for (const auto& w : words)
        note += w;
    return note;
}

// Signals the lesson did not expect: a system program's own handler.
void signal_note(std::vector<std::string>& notes, const Run& run, const std::string& who,
                 const Step& s)
{
    const auto* sig = s.as<step::Signal>();
    const Process* p = run.process(s.pid);
    if (sig && sig->name == "SIGPIPE" && sig->handled == call::SignalAction::Disposition::handler &&
        p->end_how && p->end_how->status == 0 && !p->end_how->killed)
        notes.push_back(note_of(
            who, {" received SIGPIPE: it wrote into a pipe whose reader had gone. It catches "
                  "SIGPIPE with a handler of its own, which ended it with status 0, so the "
                  "status does not tell that its output was cut short."}));
}

// A read of a pipe's bytes: it waited for them, or they were there.
std::string read_note(const std::string& who, const step::Transfer& t, const Channel& channel)
{
    std::string what = plural(t.total, "{1} byte", "{1} bytes") + " from " + channel_name(channel);
    if (t.waited >= 0.001 && !t.ready)
        return note_of(who, {" waited ", seconds_text(t.waited), " in read for ", what,
                             ": they were not there yet when it asked."});
    return note_of(who, {" read ", what,
                         " at once: they were there already, written before it asked, so it "
                         "never slept in read."});
}

} // namespace

std::vector<std::string> in_this_run(const Run& run)
{
    std::vector<std::string> notes;
    const auto& steps = run.steps();
    for (size_t i = 0; i < steps.size() && notes.size() < 8; ++i) {
        const Step& s = steps[i];
        std::string who = process_label(*run.process(s.pid), i);
        const Channel* channel = run.channel_of(s);
        signal_note(notes, run, who, s);
        if (const auto* t = s.as<step::Transfer>();
            t && t->is_read && channel && channel->carries_data()) {
            notes.push_back(read_note(who, *t, *channel));
        } else if (const auto* c = s.as<step::Collect>()) {
            std::string child = std::to_string(c->child);
            notes.push_back(
                !c->at_once
                    ? note_of(who, {" waited ", seconds_text(c->waited), " in wait until child ",
                                    child, " ended; the child was a zombie for ",
                                    seconds_text(c->zombie_seconds), "."})
                    : note_of(who,
                              {"'s wait returned at once: child ", child, " had ended ",
                               seconds_text(c->zombie_seconds), " before, a zombie until then."}));
        } else if (const auto* adopted = s.as<step::Adopted>()) {
            notes.push_back(note_of(
                who, {" was adopted as its parent ", std::to_string(adopted->former), " ended: ",
                      adopted->by != 0 ? "by " + std::to_string(adopted->by) + ", a subreaper"
                                       : std::string("by a process outside the recording (pid 1, "
                                                     "or a subreaper), which collects it"),
                      "."}));
        } else if (const auto* a = s.as<step::AskParent>();
                   a && a->before && !run.process(s.pid)->adopted) {
            notes.push_back(
                note_of(who, {" was adopted: its parent was ", std::to_string(*a->before),
                              ", getppid now answers ", std::to_string(a->parent), "."}));
        } else if (const auto* o = s.as<step::Open>(); o && o->met == step::Open::Met::waited &&
                                                       channel &&
                                                       channel->kind == Channel::Kind::fifo) {
            notes.push_back(note_of(who, {" waited ", seconds_text(o->waited), " in the open of ",
                                          channel_name(*channel), " for the other side."}));
        } else if (const auto* z = s.as<step::Zombie>()) {
            notes.push_back(note_of(who, {" was still a zombie when the recording ended, after ",
                                          seconds_text(z->seconds), ": nobody collected it."}));
        }
    }
    // A traced run's first process is started by the tracer: a process
    // listing made inside it shows strace as its parent.
    bool lists = std::any_of(run.processes().begin(), run.processes().end(),
                             [](const Process& p) { return p.program == "ps"; });
    if (lists)
        notes.push_back("This run was traced: strace started the lesson so that it could follow "
                        "it, so the lesson's parent in the ps listing (its PPID) is strace, not "
                        "the shell. Run without tracing, it is the shell.");
    return notes;
}

} // namespace timeline
