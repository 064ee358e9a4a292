// The agent's configuration parser and the hwmon check of its mapping selectors: any file
// contents.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "agent/config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vorn::agent;
    const std::string text(reinterpret_cast<const char*>(data), size);
    Settings settings;
    ConfigError error;
    if (!ParseConfigText(text, &settings, &error)) {
        // A refusal always names a line of the text and a reason.
        if (error.line < 1 || error.message.empty())
            std::abort();
        return 0;
    }
    for (const Mapping& m : settings.mapping) {
        if (!std::isfinite(m.scale) || !std::isfinite(m.offset) || m.scale == 0)
            std::abort();
    }
    // The check of the selectors refuses with a line of the text and a reason, or accepts.
    ConfigError check;
    if (!CheckMappings(settings, SourceSpec::Kind::kHwmon, &check) &&
        (check.line < 1 || check.message.empty()))
        std::abort();
    if (settings.interval_ms &&
        (*settings.interval_ms < 0 || *settings.interval_ms > kMaxIntervalMs)) {
        std::abort();
    }
    const Config resolved = Resolve(settings, Settings{});
    if (resolved.listen.empty() && !(settings.listen && settings.listen->empty()))
        std::abort();
    return 0;
}
