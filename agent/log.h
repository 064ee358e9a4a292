// The agent's stderr log: a start line, reload notes and warnings that repeat at most once
// per quiet period per subject, so a broken sensor cannot flood the journal. Thread-safe:
// the serving thread and the refresher's thread both write to it.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "readings/warnings.h"

namespace vorn::agent {

class Log : public readings::Warnings {
public:
    using Clock = std::chrono::steady_clock;

    // Writes to `out` (not owned); a subject's warning is repeated at most once per `quiet`.
    explicit Log(std::FILE* out = stderr, Clock::duration quiet = std::chrono::seconds(60))
        : out_(out), quiet_(quiet) {}

    // Writes one line, always.
    void Info(const std::string& line);

    // Writes one warning line unless `subject` was warned about within the quiet period;
    // returns whether it wrote.
    bool Warn(const std::string& subject, const std::string& line, Clock::time_point now);
    bool Warn(const std::string& subject, const std::string& line) override {
        return Warn(subject, line, Clock::now());
    }

private:
    std::FILE* out_;
    Clock::duration quiet_;
    std::mutex mutex_;  // guards last_ and keeps lines whole
    std::map<std::string, Clock::time_point> last_;
};

}  // namespace vorn::agent
