#include "readings/format.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace vorn::readings {

proto::FieldText FormatReading(int field, std::optional<double> value) {
    if (!value || !std::isfinite(*value))
        return proto::MakeField("-");
    const ReadingKind kind = KindOf(field);
    const int decimals = kind == ReadingKind::kTemperature ? 1
                         : kind == ReadingKind::kVoltage   ? 2
                                                           : 0;
    // Anything this large cannot fit anyway; the guard keeps snprintf's output short.
    if (std::fabs(*value) >= 1e7)
        return proto::MakeField("-");
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, *value);
    // A small negative value rounds to "-0.0"; show it as zero.
    if (text[0] == '-') {
        bool all_zero = true;
        for (const char* p = text + 1; *p; ++p) {
            if (*p != '0' && *p != '.')
                all_zero = false;
        }
        if (all_zero)
            std::memmove(text, text + 1, std::strlen(text));
    }
    return proto::MakeField(text);  // "-" when longer than 7 characters
}

}  // namespace vorn::readings
