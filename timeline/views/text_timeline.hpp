// The run in words: one line per step, with the time since the start and
// the process, as the steps come. A short run is told whole at its end,
// its totals first and its columns lined up; a long one goes out as it is
// made, its totals last, so that memory does not grow with it.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/run.hpp"
#include "views/wording.hpp"

namespace timeline {

class TextTimeline : public StepSink {
public:
    using Output = std::function<void(std::string_view)>;
    // `words`: shared with the other views that stream the steps, or the
    // timeline's own.
    TextTimeline(const std::string& title, Output out, StepWords* words = nullptr);
    void step(const Run& run, size_t index, const Step& step,
              std::span<const Arrow> arrows) override;
    void finish(const Run& run) override;

private:
    const std::string& label(const Process& p, size_t index);
    void write_held(const Run& run);
    void write(const Run& run, size_t index, const Step& step);

    std::string title_;
    Output out_;
    std::vector<std::pair<size_t, Step>> held_;
    std::map<int, std::pair<size_t, std::string>> labels_; // pid -> (programs, label)
    size_t width_ = 7;
    bool streaming_ = false;
    std::string buffer_;
    StepWords own_words_;
    StepWords* words_;
    int last_pid_ = 0;
    const std::string* last_label_ = nullptr; // a process that has one name
};

// The same for a run that kept all its steps.
std::string text_timeline(const Run& run, const std::string& title);

} // namespace timeline
