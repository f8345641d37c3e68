// The run as a sequence diagram in SVG: one lifeline per process, one row
// per step, time running downward. It draws the first kDiagramRows steps
// that the model kept, and counts the rest.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "model/run.hpp"

namespace timeline {

// How many steps a diagram draws; the rest it counts.
constexpr size_t kDiagramRows = 1500;

// The run as a sequence diagram: a standalone SVG document.
std::string svg_diagram(const Run& run, const std::string& title);

// Where the diagram put each thing that must not overlap another: its
// labels, notes, lane heads, and each arrow's level stretch.
struct DiagramBox {
    double x = 0, y = 0, width = 0, height = 0;
    enum class Kind { label, note, header, arrow } kind = Kind::label;
    std::string what;
};
std::vector<DiagramBox> diagram_boxes(const Run& run, const std::string& title);

} // namespace timeline
