// The lesson book: one static page with every lesson's command, what it
// printed, its timeline and its diagram. No script, nothing from outside.
#pragma once

#include <string>
#include <vector>

namespace timeline {

struct Lesson {
    std::string name;
    std::string command;
    std::string output; // what the demonstration printed
    std::string timeline; // text_timeline()
    std::string diagram; // svg_diagram()
    std::vector<std::string> figures; // plumbing_svg(), one per moment
};

std::string lesson_book(const std::vector<Lesson>& lessons);

} // namespace timeline
