// One process family as it changes: a process and its descendants, read
// from /proc at each refresh. It keeps the processes that left it by
// adoption for as long as they live, and those that ended and were
// collected for a few seconds, and what changed last for each process, as
// facts: the words (words.hpp) say them.
#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/vocabulary.hpp"
#include "procfs.hpp"

namespace family {

// What changed last in a process, as a fact: the words say it.
struct Change {
    enum class Kind {
        none,
        forked_by,
        forked,
        adopted_by,
        became,
        closed,
        opened,
        ended,
        collected
    };
    Kind kind = Kind::none;
    int pid = 0; // who forked it, whom it forked, who adopted it
    std::string program; // the program it became
    FdEntry fd; // the descriptor it closed or opened
};

struct Member {
    ProcInfo info;
    int depth = 0; // in the tree, from the watched process
    int parent = 0; // its parent in the family, as first seen
    int adopted_by = 0; // its parent ended: who adopted it
    bool in_tree = true; // still a descendant of the watched process
    std::optional<double> zombie_since; // seen as a zombie first at
    std::optional<double> gone_at; // collected: no longer in /proc
    Change last_change;
};

// What the channels of the family are called, in the timeline's words
// (base/vocabulary.hpp): "pipe A", "FIFO FIFOVEK", "the terminal", "socket
// 1". It letters the pipes in the order it first sees them.
class Names {
public:
    std::string of(const FdEntry& fd, timeline::Article article = timeline::Article::none);
    // A pipe of the family's own (lettered), not one it had from outside.
    bool own_pipe(const FdEntry& fd) const
    {
        return fd.target.starts_with("pipe:[") && !outside_.contains(fd.target);
    }
    // A pipe the family had from outside when the watch began (the
    // shell's, on 0, 1 or 2): not one of its own, not lettered.
    void from_outside(const std::string& target) { outside_.insert(target); }

private:
    std::set<std::string> outside_;
    std::map<std::string, int> pipes_; // by the kernel's name, from 1
    std::map<std::string, int> sockets_;
};

class Family {
public:
    explicit Family(int root) : root_(root) {}
    // Reads the family again at `now` (seconds, any clock). False once
    // nothing is left to show.
    bool refresh(double now);
    // In tree order: each process before its children.
    const std::vector<Member>& members() const { return members_; }
    int root() const { return root_; }
    Names& names() { return names_; }
    const Member* find(int pid) const;
    // Whether a process of that id is one of the family, live or a zombie
    // (at the last refresh): quick, for each process event of the machine.
    bool has(int pid) const { return std::binary_search(pids_.begin(), pids_.end(), pid); }
    // Their ids, in order.
    const std::vector<int>& pids() const { return pids_; }

    static constexpr double kShownAfterEnd = 3.0;

private:
    void keep_departed(std::map<int, Member>& before, std::set<int>& seen,
                       std::vector<Member>& next, double now);
    void note_changes(Member& now, const Member& before);

    int root_;
    bool first_ = true;
    std::vector<Member> members_;
    std::vector<int> pids_; // of the members not gone, in order
    Names names_;
};

} // namespace family
