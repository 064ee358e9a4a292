#include "framework/command_line.h"

const char* SkipProgramName(const char* p) {
    if (p == nullptr)
        return "";
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"')
            ++p;
        if (*p == '"')
            ++p;
    } else {
        while (static_cast<unsigned char>(*p) > ' ')
            ++p;
    }
    while (*p != '\0' && static_cast<unsigned char>(*p) <= ' ')
        ++p;
    return p;
}

std::string ProfileNameForModule(const std::string& modulePath) {
    std::string name = modulePath;
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos)
        name.erase(dot);
    const std::size_t sep = name.find_last_of("\\/:");
    if (sep != std::string::npos)
        name.erase(0, sep + 1);
    return name + ".INI";
}
