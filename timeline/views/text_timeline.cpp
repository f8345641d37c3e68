// The run in words: one line per step, written as the steps come.
#include <algorithm>
#include <charconv>
#include <cstdio>

#include "base/language.hpp"
#include "base/paths.hpp"
#include "views/text_timeline.hpp"
#include "views/wording.hpp"

namespace timeline {
namespace {

// A trace of up to this many steps is told whole at its end, its totals
// first; a longer one is written out as it is read, its totals last.
constexpr size_t kHeldLines = Run::kStepsHeld;
constexpr size_t kBatch = 1 << 16;

} // namespace

TextTimeline::TextTimeline(const std::string& title, Output out, StepWords* words)
    : title_(printable(title)), out_(std::move(out)), words_(words ? words : &own_words_)
{
}

const std::string& TextTimeline::label(const Process& p, size_t index)
{
    // Most lines are the same process's as the line before.
    if (last_label_ && p.pid == last_pid_ && p.programs.size() == 1 &&
        p.programs.front().first <= index)
        return *last_label_;
    size_t programs = 0;
    for (const auto& entry : p.programs)
        programs += entry.first <= index;
    auto& [known, text] = labels_[p.pid];
    if (text.empty() || known != programs) {
        known = programs;
        text = printable(process_label(p, index));
    }
    last_pid_ = p.pid;
    last_label_ = p.programs.size() == 1 && p.programs.front().first <= index ? &text : nullptr;
    return text;
}

// A held step is told at the end of a short trace, with all that the trace
// says about its channel (a FIFO is known as one by its later calls).
void TextTimeline::step(const Run& run, size_t index, const Step& step,
                        std::span<const Arrow> /*arrows*/)
{
    if (!streaming_ && held_.size() < kHeldLines) {
        held_.emplace_back(index, step);
        return;
    }
    if (!streaming_) {
        streaming_ = true;
        buffer_ = fill(tr("{1}: a long trace, its totals at the end"), {title_}) + "\n";
        write_held(run);
    }
    write(run, index, step);
    if (buffer_.size() >= kBatch) {
        out_(buffer_);
        buffer_.clear();
    }
}

void TextTimeline::finish(const Run& run)
{
    std::string totals =
        fill(tr("{1}: {2}, {3}, {4}"),
             {title_, plural(long(run.processes().size()), "{1} process", "{1} processes"),
              plural(long(run.step_count()), "{1} step", "{1} steps"),
              seconds_text(run.duration())}) +
        "\n";
    if (streaming_) {
        buffer_ += totals;
    } else {
        buffer_ = totals;
        write_held(run);
    }
    out_(buffer_);
    buffer_.clear();
}

// The column heads and the steps held, lined up on the widest name.
void TextTimeline::write_held(const Run& run)
{
    for (const auto& [index, step] : held_)
        width_ = std::max(width_, label(*run.process(step.pid), index).size());
    char line[64];
    // The heads are lined up by their bytes: each language's words for
    // them are plain letters.
    (void)std::snprintf(line, sizeof line, "%8s  %-*s  ", tr_ctx("column", "time"), int(width_),
                        tr_ctx("column", "process"));
    buffer_ += line;
    buffer_ += tr_ctx("column", "step");
    buffer_ += '\n';
    words_->forget(); // told now, with all the trace knows
    for (const auto& [index, step] : held_)
        write(run, index, step);
    held_.clear();
    held_.shrink_to_fit();
}

void TextTimeline::write(const Run& run, size_t index, const Step& step)
{
    const std::string& name = label(*run.process(step.pid), index);
    width_ = std::max(width_, name.size());
    // "%8.3f  ", without printf's cost on a million lines.
    char time[32];
    auto [end, error] =
        std::to_chars(time, time + sizeof time, step.time, std::chars_format::fixed, 3);
    size_t length = error == std::errc() ? size_t(end - time) : 0;
    buffer_.append(length < 8 ? 8 - length : 0, ' ');
    buffer_.append(time, length);
    buffer_.append(2, ' ');
    buffer_ += name;
    buffer_.append(width_ - name.size() + 2, ' ');
    buffer_ += words_->of(run, index, step);
    if (step.source) {
        // The line of the program that made the call: "[date_handoff.cpp:24]".
        std::string_view file = base_name(step.source->file);
        buffer_ += "  [";
        append_printable(buffer_, file);
        buffer_ += ':';
        buffer_ += std::to_string(step.source->line);
        buffer_ += ']';
    }
    buffer_ += '\n';
}

std::string text_timeline(const Run& run, const std::string& title)
{
    std::string out;
    TextTimeline text(title, [&](std::string_view part) { out += part; });
    for (size_t i = 0; i < run.steps().size(); ++i)
        text.step(run, i, run.steps()[i], {});
    text.finish(run);
    return out;
}

} // namespace timeline
