#include "readings/model.h"

namespace vorn::readings {

ReadingKind KindOf(int field) {
    if (field <= proto::kSys)
        return ReadingKind::kTemperature;
    if (field <= proto::kVM12)
        return ReadingKind::kVoltage;
    return ReadingKind::kFan;
}

int FieldIndex(std::string_view name) {
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (name == proto::kFieldNames[k])
            return k;
    }
    return -1;
}

bool AnyValue(const ReadingSet& set) {
    for (const Reading& r : set) {
        if (r.value)
            return true;
    }
    return false;
}

}  // namespace vorn::readings
