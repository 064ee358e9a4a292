// Time bounds for tests whose point is a bound ("fails within its time-out", "Cancel ends the
// wait promptly"). The sanitizers slow the code several times over and a loaded 2-core
// machine adds its own pauses, so such a bound is generous and grows under a sanitizer; the
// exact figures belong to the benchmarks. Builds natively and for Windows.
#pragma once

#include <chrono>

#if defined(__SANITIZE_THREAD__)
#define VORN_TEST_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VORN_TEST_UNDER_TSAN 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#define VORN_TEST_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORN_TEST_UNDER_ASAN 1
#endif
#endif

namespace vorn::test_time {

// How many times slower than a plain build this build runs, at worst.
#if defined(VORN_TEST_UNDER_TSAN)
inline constexpr int kSlowdown = 10;
#elif defined(VORN_TEST_UNDER_ASAN)
inline constexpr int kSlowdown = 4;
#else
inline constexpr int kSlowdown = 1;
#endif

// A bound of `ms` on a quiet machine, widened for this build and for a loaded machine.
constexpr long long Generous(long long ms) {
    return ms * 3 * kSlowdown;
}

}  // namespace vorn::test_time
