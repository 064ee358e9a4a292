#include "framework/afx_string.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

void CString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
#if defined(_WIN32)
    // The system C library's formatter (msvcrt): mingw-w64's own C99 one, which vsnprintf
    // means there, would add some 26 KB to the program for formats that read the same.
    const int needed = _vscprintf(format, args);
#else
    const int needed = std::vsnprintf(nullptr, 0, format, args);
#endif
    va_end(args);
    if (needed < 0) {
        m_text.clear();
    } else {
        std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
#if defined(_WIN32)
        _vsnprintf(buffer.data(), buffer.size(), format, again);
#else
        std::vsnprintf(buffer.data(), buffer.size(), format, again);
#endif
        m_text.assign(buffer.data(), static_cast<std::size_t>(needed));
    }
    va_end(again);
}

#if !defined(_WIN32)
bool CString::LoadString(unsigned int) {
    return false;  // no string resources outside Windows
}
#endif
