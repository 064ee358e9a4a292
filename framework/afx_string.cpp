#include "framework/afx_string.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

void CString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (needed < 0) {
        m_text.clear();
    } else {
        std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, again);
        m_text.assign(buffer.data(), static_cast<std::size_t>(needed));
    }
    va_end(again);
}

#if !defined(_WIN32)
bool CString::LoadString(unsigned int) {
    return false;  // no string resources outside Windows
}
#endif
