#include <windows.h>

#include "framework/afx_string.h"
#include "framework/afx_win.h"

bool CString::LoadString(unsigned int id) {
    char buffer[512];
    const int n = ::LoadStringA(AfxGetInstanceHandle(), id, buffer, sizeof buffer);
    m_text.assign(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    return n > 0;
}
