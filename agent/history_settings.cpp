#include "agent/config.h"

namespace vorn::agent {

bool ParseHistorySetting(const std::string& name, const std::string& value, Settings* out,
                         std::string* why) {
    why->clear();
    if (name == "history") {
        if (value == "on" || value == "off")
            out->history = value == "on";
        else
            *why = "must be on or off";
        return true;
    }
    if (name == "history_file") {
        if (value.empty())
            *why = "must name a file";
        else
            out->history_file = value;
        return true;
    }
    return false;
}

}  // namespace vorn::agent
