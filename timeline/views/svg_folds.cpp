// Rounds of steps that repeat unchanged, such as a child that asks for
// its parent once a second, are drawn once and counted.
#include <algorithm>
#include <set>

#include "base/language.hpp"
#include "views/svg_parts.hpp"
#include "views/wording.hpp"

namespace timeline::diagram {
namespace {

constexpr int kFewestRounds = 3; // a round repeated this often is folded

// How many rounds of `k` steps from `start` repeat the first one
// unchanged, all one process's, with no arrow to or from them.
size_t rounds_of(const Run& run, const std::vector<std::string>& text,
                 const std::set<size_t>& arrow_ends, size_t start, size_t k)
{
    const auto& steps = run.steps();
    size_t shown = text.size();
    auto same_round = [&](size_t from) {
        for (size_t j = 0; j < k; ++j) {
            size_t a = start + j, b = from + j;
            if (b >= shown || steps[b].pid != steps[start].pid || text[a] != text[b] ||
                arrow_ends.count(b) != 0)
                return false;
        }
        return true;
    };
    size_t rounds = 1;
    while (same_round(start + rounds * k))
        ++rounds;
    return rounds;
}

} // namespace

// Rounds of one process's steps repeated unchanged, with no other
// process's step between them: each kept once, the rest counted. The
// first round after a change (an adoption) starts a new count.
Folds folds(const Run& run, size_t shown, std::vector<bool>& hidden)
{
    Folds after;
    const auto& steps = run.steps();
    std::set<size_t> arrow_ends;
    for (const Arrow& a : run.arrows())
        arrow_ends.insert({a.from, a.to});
    std::vector<std::string> text(shown);
    for (size_t i = 0; i < shown; ++i)
        text[i] = describe(run, i);
    for (size_t start = 0; start < shown;) {
        size_t best_k = 0, best_rounds = 1;
        for (size_t k = 1; k <= 6 && start + k * kFewestRounds <= shown; ++k) {
            if (steps[start + k - 1].pid != steps[start].pid)
                break;
            size_t rounds = rounds_of(run, text, arrow_ends, start, k);
            if (rounds >= size_t(kFewestRounds) &&
                rounds * k > best_rounds * std::max<size_t>(best_k, 1)) {
                best_k = k;
                best_rounds = rounds;
            }
        }
        if (best_k == 0) {
            ++start;
            continue;
        }
        size_t first_hidden = start + best_k, end = start + best_k * best_rounds;
        for (size_t i = first_hidden; i < end; ++i)
            hidden[i] = true;
        double every = (steps[end - best_k].time - steps[start].time) / double(best_rounds - 1);
        // Three rounds at least: two more, or many, never one.
        after[first_hidden - 1] = {end,
                                   fill(tr("… the same round {1} more times, {2} apart, until {3}"),
                                        {std::to_string(best_rounds - 1), seconds_text(every),
                                         seconds_text(steps[end - 1].time)})};
        start = end;
    }
    return after;
}

} // namespace timeline::diagram
