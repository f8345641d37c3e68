// family_watch's redraw of one family, timed: the family read from /proc
// and put in words, the best of five after the first read. Prints
// "MEMBERS MILLISECONDS".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "family.hpp"
#include "words.hpp"

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    family::Family watched(std::atoi(argv[1]));
    watched.refresh(0);
    double best = 1e9;
    for (int round = 1; round <= 5; ++round) {
        auto start = std::chrono::steady_clock::now();
        watched.refresh(double(round));
        auto lines = family::snapshot(watched, double(round), "a bench");
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::printf("%zu %.1f\n", watched.members().size(), best * 1000);
    return 0;
}
