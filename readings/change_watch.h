// Whether a sensor program still publishes. A program that stops updating may leave its last
// values in place (HWiNFO's free edition ends its shared memory updates after 12 hours), and
// frozen readings must not pass for live ones. The watch follows a token the program changes
// at every update (HWiNFO's poll time, the Gadget values) and times its standing still on our
// own monotonic clock: the program's clock is never compared with ours.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace vorn::readings {

using SteadyTime = std::chrono::steady_clock::time_point;
// Where a source reads the time; tests hand in a clock of their own.
using SteadyNow = std::function<SteadyTime()>;

class ChangeWatch {
public:
    // Takes the token as read at `now`; true while it changed no longer than `bound` ago. The
    // first token seen counts as a change: the program is trusted until it proves stuck.
    bool Observe(std::uint64_t token, SteadyTime now, std::chrono::milliseconds bound);
    // Forgets the token (the program ended); the next one starts afresh.
    void Reset() { seen_ = false; }
    // How long the token had stood still at the last Observe.
    std::chrono::milliseconds still_for() const { return still_for_; }

private:
    bool seen_ = false;
    std::uint64_t token_ = 0;
    SteadyTime changed_{};
    std::chrono::milliseconds still_for_{0};
};

}  // namespace vorn::readings
