// Each step as a line of JSON, with the trace lines it was made from: what
// a checker that reads the trace on its own compares with the words.
#pragma once

#include <cstdio>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "model/run.hpp"
#include "views/wording.hpp"

namespace timeline {

// {"step":12,"pid":4283,"words":"reads 10 bytes from fd 0 ...","began":0.008,
//  "ended":0.391,"error":"","trace":[0,31,35],"call":true}: `trace` is the
// file (its place among the traces read, from 0) and the first and last
// line; there is none for a step the model added at the trace's end.
// `call`: the step tells the call of those lines (false for a child born
// at its parent's fork, made from the fork's line). Times are
// seconds since the run began. A short run's steps are written at its end,
// with all the trace says about their channels, as the timeline tells them.
class StepsJson : public StepSink {
public:
    // Throws std::system_error when the file cannot be made or written.
    StepsJson(const std::string& path, StepWords* words);
    StepsJson(const StepsJson&) = delete;
    StepsJson& operator=(const StepsJson&) = delete;
    ~StepsJson() override;
    void step(const Run& run, size_t index, const Step& step,
              std::span<const Arrow> arrows) override;
    void finish(const Run& run) override;

private:
    void write(const Run& run, size_t index, const Step& step);

    std::string path_;
    std::FILE* out_;
    StepWords own_;
    StepWords* words_;
    std::vector<std::pair<size_t, Step>> held_;
    bool streaming_ = false;
};

} // namespace timeline
