#include "family.hpp"

#include <algorithm>
#include <functional>
#include <set>

#include "base/safe_text.hpp"
#include "base/vocabulary.hpp"

namespace family {

std::string Names::of(const FdEntry& fd, timeline::Article article)
{
    // What /proc/PID/fd's link says it is, as typed facts for the names
    // both tools share.
    const std::string& t = fd.target;
    using K = timeline::Thing::Kind;
    timeline::Thing thing{.kind = K::file, .path = t};
    if (t.starts_with("pipe:[")) {
        thing.kind = K::pipe;
        if (!outside_.count(t))
            thing.number = pipes_.try_emplace(t, int(pipes_.size()) + 1).first->second;
    } else if (t.starts_with("socket:[")) {
        thing.kind = K::socket;
        thing.number = sockets_.try_emplace(t, int(sockets_.size()) + 1).first->second;
    } else if (t.starts_with("/dev/pts/") || t.starts_with("/dev/tty") || t == "/dev/console") {
        thing.kind = K::terminal;
    } else if (fd.fifo) {
        thing.kind = K::fifo;
    } else if (t.starts_with("anon_inode:")) {
        thing = {.kind = K::other, .anon = std::string_view(t).substr(11)};
    }
    return timeline::thing_name(thing, article);
}

const Member* Family::find(int pid) const
{
    for (const auto& m : members_)
        if (m.info.pid == pid)
            return &m;
    return nullptr;
}

bool Family::refresh(double now)
{
    std::map<int, Member> before;
    for (auto& m : members_)
        before.emplace(m.info.pid, std::move(m));
    std::vector<Member> next;
    std::set<int> seen;
    bool first = first_;
    // The tree from the watched process down.
    std::function<void(int, int, int)> walk = [&](int pid, int depth, int parent) {
        if (seen.count(pid) || seen.size() > 20000)
            return;
        auto old = before.find(pid);
        auto info = read_process(pid, nullptr, old != before.end() ? &old->second.info : nullptr);
        if (!info)
            return;
        seen.insert(pid);
        Member m{.info = std::move(*info), .depth = depth, .parent = parent};
        bool known = old != before.end() && old->second.info.start == m.info.start;
        if (known)
            note_changes(m, old->second);
        else if (parent != 0)
            m.last_change = {.kind = Change::Kind::forked_by, .pid = parent};
        // A zombie's time counts from when it was seen to become one; one
        // that was a zombie when the watch began has no time told.
        bool became = known ? old->second.info.state != 'Z' : !first;
        if (m.info.state == 'Z' && !m.zombie_since && became)
            m.zombie_since = now;
        std::vector<int> children = m.info.children;
        next.push_back(std::move(m));
        for (int child : children)
            walk(child, depth + 1, pid);
    };
    if (first_)
        if (auto root = read_process(root_))
            for (const auto& fd : root->fds)
                if (fd.fd <= 2 && fd.target.starts_with("pipe:["))
                    names_.from_outside(fd.target);
    first_ = false;
    walk(root_, 0, 0);
    // A child seen for the first time: its parent forked it.
    if (!first)
        for (const auto& m : next)
            if (m.last_change.kind == Change::Kind::forked_by)
                if (!before.count(m.info.pid))
                    for (auto& parent : next)
                        if (parent.info.pid == m.info.ppid)
                            parent.last_change = {.kind = Change::Kind::forked, .pid = m.info.pid};
    keep_departed(before, seen, next, now);
    members_ = std::move(next);
    pids_.clear();
    for (const auto& m : members_)
        if (!m.gone_at)
            pids_.push_back(m.info.pid);
    std::sort(pids_.begin(), pids_.end());
    return !members_.empty();
}

// Those that left the tree: adopted while they live, or ended (shown a
// few seconds more).
void Family::keep_departed(std::map<int, Member>& before, std::set<int>& seen,
                           std::vector<Member>& next, double now)
{
    for (auto& [pid, m] : before) {
        if (seen.count(pid))
            continue;
        auto info = read_process(pid);
        if (info && info->start == m.info.start) {
            Member moved{.info = std::move(*info),
                         .depth = 1,
                         .parent = m.parent,
                         .adopted_by = 0,
                         .in_tree = false};
            note_changes(moved, m);
            moved.adopted_by = moved.info.ppid;
            if (m.adopted_by != moved.adopted_by)
                moved.last_change = {.kind = Change::Kind::adopted_by, .pid = moved.adopted_by};
            if (moved.info.state == 'Z' && !moved.zombie_since)
                moved.zombie_since = now;
            seen.insert(pid);
            next.push_back(std::move(moved));
        } else if (!m.gone_at || now - *m.gone_at < kShownAfterEnd) {
            if (!m.gone_at) {
                m.gone_at = now;
                m.last_change = {.kind = m.info.state == 'Z' ? Change::Kind::collected
                                                             : Change::Kind::ended};
            }
            next.push_back(std::move(m));
        }
    }
}

void Family::note_changes(Member& now, const Member& before)
{
    now.last_change = before.last_change;
    now.zombie_since = before.zombie_since;
    now.adopted_by = before.adopted_by;
    now.parent = before.parent != 0 ? before.parent : now.parent;
    const ProcInfo& a = before.info;
    const ProcInfo& b = now.info;
    if (b.state == 'Z' && a.state != 'Z') {
        now.last_change = {.kind = Change::Kind::ended};
        return;
    }
    if (b.exe != a.exe && !b.exe.empty()) {
        now.last_change = {.kind = Change::Kind::became, .program = b.exe};
        return;
    }
    // The last descriptor it gave up or took.
    for (const auto& fd : a.fds)
        if (std::none_of(b.fds.begin(), b.fds.end(),
                         [&](const FdEntry& f) { return f.fd == fd.fd && f.target == fd.target; }))
            now.last_change = {.kind = Change::Kind::closed, .fd = fd};
    for (const auto& fd : b.fds)
        if (std::none_of(a.fds.begin(), a.fds.end(),
                         [&](const FdEntry& f) { return f.fd == fd.fd && f.target == fd.target; }))
            now.last_change = {.kind = Change::Kind::opened, .fd = fd};
}

} // namespace family
