// Where a source reports trouble it meets while sampling (an input gone, a server down).
// The agent's log implements it and repeats a subject at most once per quiet period, so a
// broken sensor cannot flood the journal. Implementations are called from the refresher
// thread and must be thread-safe.
#pragma once

#include <string>

namespace vorn::readings {

class Warnings {
public:
    virtual ~Warnings() = default;
    // Reports `line` about `subject`; returns whether it was written (not held back).
    virtual bool Warn(const std::string& subject, const std::string& line) = 0;
};

}  // namespace vorn::readings
