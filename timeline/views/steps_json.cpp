#include "views/steps_json.hpp"

#include "model/blocking.hpp"

#include <cerrno>
#include <system_error>

#include <nlohmann/json.hpp>

namespace timeline {

StepsJson::StepsJson(const std::string& path, StepWords* words)
    : path_(path), out_(std::fopen(path.c_str(), "wb")), words_(words ? words : &own_)
{
    if (out_ == nullptr)
        throw std::system_error(errno, std::generic_category(), path);
}

StepsJson::~StepsJson()
{
    (void)std::fclose(out_);
}

void StepsJson::step(const Run& run, size_t index, const Step& step,
                     std::span<const Arrow> /*arrows*/)
{
    if (!streaming_ && held_.size() < Run::kStepsHeld) {
        held_.emplace_back(index, step);
        return;
    }
    if (!streaming_) {
        streaming_ = true;
        for (const auto& [i, s] : held_)
            write(run, i, s);
        held_.clear();
    }
    write(run, index, step);
}

void StepsJson::finish(const Run& run)
{
    for (const auto& [i, s] : held_)
        write(run, i, s);
    held_.clear();
    if (std::fflush(out_) != 0 || std::ferror(out_) != 0)
        throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), path_);
}

void StepsJson::write(const Run& run, size_t index, const Step& step)
{
    nlohmann::json line = {
        {"step", index},       {"pid", step.pid},     {"words", words_->of(run, index, step)},
        {"began", step.began}, {"ended", step.ended}, {"time", step.time},
        {"error", step.error},
    };
    if (step.from.first != 0) {
        line["trace"] = {step.from.file, step.from.first, step.from.last};
        if (step.made != 0)
            line["made"] = step.made;
        line["call"] = tells_its_call(step);
    }
    std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    text += '\n';
    (void)std::fwrite(text.data(), 1, text.size(), out_);
}

} // namespace timeline
