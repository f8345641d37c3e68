// What a lesson's run did that its text cannot promise: who waited, and
// how long, where the scheduler decided; who was adopted; what tracing
// itself changed.
#include <algorithm>
#include <string>
#include <vector>

#include "base/language.hpp"
#include "base/vocabulary.hpp"
#include "views/book.hpp"
#include "views/wording.hpp"

namespace timeline {
namespace {

// Signals the lesson did not expect: a system program's own handler.
void signal_note(std::vector<std::string>& notes, const Run& run, const std::string& who,
                 const Step& s)
{
    const auto* sig = s.as<step::Signal>();
    const Process* p = run.process(s.pid);
    if (sig && sig->name == "SIGPIPE" && sig->handled == call::SignalAction::Disposition::handler &&
        p->end_how && p->end_how->status == 0 && !p->end_how->killed)
        notes.push_back(
            fill(tr("{1} received SIGPIPE: it wrote into a pipe whose reader had gone. It "
                    "catches SIGPIPE with a handler of its own, which ended it with status 0, "
                    "so the status does not tell that its output was cut short."),
                 {who}));
}

// A read of a pipe's bytes: it waited for them, or they were there.
std::string read_note(const std::string& who, const step::Transfer& t, const Channel& channel)
{
    std::string bytes = plural(t.total, "{1} byte", "{1} bytes");
    std::string from = channel_name(channel, Article::definite);
    if (t.waited >= 0.001 && !t.ready)
        return fill(tr("{1} waited {2} in read for {3} from {4}: they were not there yet when "
                       "it asked."),
                    {who, seconds_text(t.waited), bytes, from});
    return fill(tr("{1} read {2} from {3} at once: they were there already, written before it "
                   "asked, so it never slept in read."),
                {who, bytes, from});
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
            std::string zombie_for = seconds_text(c->zombie_seconds);
            notes.push_back(
                !c->at_once
                    ? fill(tr("{1} waited {2} in wait until child {3} ended; the child was a "
                              "zombie for {4}."),
                           {who, seconds_text(c->waited), child, zombie_for})
                    : fill(tr("{1}'s wait returned at once: child {2} had ended {3} before, a "
                              "zombie until then."),
                           {who, child, zombie_for}));
        } else if (const auto* adopted = s.as<step::Adopted>()) {
            std::string former = std::to_string(adopted->former);
            notes.push_back(
                adopted->by != 0
                    ? fill(tr("{1} was adopted as its parent {2} ended: by {3}, a subreaper."),
                           {who, former, std::to_string(adopted->by)})
                    : fill(tr("{1} was adopted as its parent {2} ended: by a process outside the "
                              "recording (pid 1, or a subreaper), which collects it."),
                           {who, former}));
        } else if (const auto* a = s.as<step::AskParent>();
                   a && a->before && !run.process(s.pid)->adopted) {
            notes.push_back(
                fill(tr("{1} was adopted: its parent was {2}, getppid now answers {3}."),
                     {who, std::to_string(*a->before), std::to_string(a->parent)}));
        } else if (const auto* o = s.as<step::Open>(); o && o->met == step::Open::Met::waited &&
                                                       channel &&
                                                       channel->kind == Channel::Kind::fifo) {
            notes.push_back(
                fill(tr("{1} waited {2} in the open of {3} for the other side."),
                     {who, seconds_text(o->waited), channel_name(*channel, Article::definite)}));
        } else if (const auto* z = s.as<step::Zombie>()) {
            notes.push_back(fill(tr("{1} was still a zombie when the recording ended, after {2}: "
                                    "nobody collected it."),
                                 {who, seconds_text(z->seconds)}));
        }
    }
    // A traced run's first process is started by the tracer: a process
    // listing made inside it shows strace as its parent.
    bool lists = std::any_of(run.processes().begin(), run.processes().end(),
                             [](const Process& p) { return p.program == "ps"; });
    if (lists)
        notes.push_back(tr("This run was traced: strace started the lesson so that it could "
                           "follow it, so the lesson's parent in the ps listing (its PPID) is "
                           "strace, not the shell. Run without tracing, it is the shell."));
    return notes;
}

} // namespace timeline
