// The lesson book: one static page that teaches each lesson. For each, in
// order: what it shows, its source with the system calls of each line,
// what this run did that the text cannot promise, what it printed, its
// descriptor tables, its sequence diagram, the whole timeline (folded),
// and what to try. Calls and source lines link to each other with plain
// anchors. Nothing from outside, printable. The page's one inline script
// adds a player to each lesson, to step through its run; without it the
// page is whole.
#pragma once

#include <string>
#include <vector>

#include "model/run.hpp"

namespace timeline {

struct Lesson {
    std::string name;
    std::string command;
    std::string output; // what the demonstration printed
    std::string notes; // the lesson's notes, as written beside its source
    std::string timeline; // text_timeline()
    std::string diagram; // svg_diagram()
    std::vector<std::string> figures; // plumbing_svg(), one per moment
    // Made from the run by read_lesson_run().
    std::string source_html;
    std::string timeline_html;
    std::vector<std::string> in_this_run;
    std::string player; // player_data(), for the page's script
    // Where its sources may be: its folder, the one it was recorded in.
    std::vector<std::string> source_folders;
};

// The parts of a lesson that come from its run: the annotated source, the
// timeline with its anchors, what happened in this run.
void read_lesson_run(Lesson& lesson, const Run& run);

// What this run did that the lesson's text cannot promise: who waited in
// which call and for how long, who was adopted (book_in_this_run.cpp).
std::vector<std::string> in_this_run(const Run& run);

std::string lesson_book(const std::vector<Lesson>& lessons);
// One lesson on a page of its own, the player first: a learner's own run.
std::string lesson_page(const Lesson& lesson);

// The notes (CommonMark: paragraphs, lists, `code`, *emphasis*) as HTML.
std::string notes_html(const std::string& markdown);

} // namespace timeline
