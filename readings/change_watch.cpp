#include "readings/change_watch.h"

namespace vorn::readings {

bool ChangeWatch::Observe(std::uint64_t token, SteadyTime now, std::chrono::milliseconds bound) {
    if (!seen_ || token != token_) {
        seen_ = true;
        token_ = token;
        changed_ = now;
    }
    // A clock that seems to run back (a test's, or a bad one) counts as no time passed.
    still_for_ = now > changed_
                     ? std::chrono::duration_cast<std::chrono::milliseconds>(now - changed_)
                     : std::chrono::milliseconds(0);
    return still_for_ <= bound;
}

}  // namespace vorn::readings
