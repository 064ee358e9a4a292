// CString: the 8-bit text type of the program, with printf-style Format. Portable; only
// LoadString needs Windows.
#pragma once

#include <cstddef>
#include <string>

class CString {
public:
    CString() = default;
    CString(const char* text)
        : m_text(text ? text : "") {}                   // NOLINT: implicit, as texts flow freely
    CString(const std::string& text) : m_text(text) {}  // NOLINT

    // Replaces the text by the C library's formatting of the arguments (on Windows the
    // system C library's, so the compiler checks formats against what that one knows).
#if defined(_WIN32)
    void Format(const char* format, ...) __attribute__((format(ms_printf, 2, 3)));
#else
    void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
#endif

    // Replaces the text by string resource `id` of the program; false when there is none.
    bool LoadString(unsigned int id);

    int GetLength() const {
        return static_cast<int>(m_text.size());
    }
    bool IsEmpty() const {
        return m_text.empty();
    }
    void Empty() {
        m_text.clear();
    }
    const char* GetString() const {
        return m_text.c_str();
    }
    operator const char*() const {
        return m_text.c_str();
    }  // NOLINT: LPCSTR use

    CString& operator=(const char* text) {
        m_text = text ? text : "";
        return *this;
    }
    CString& operator+=(const char* text) {
        m_text += text ? text : "";
        return *this;
    }
    friend bool operator==(const CString& a, const CString& b) {
        return a.m_text == b.m_text;
    }
    friend bool operator==(const CString& a, const char* b) {
        return a.m_text == (b ? b : "");
    }
    friend bool operator!=(const CString& a, const char* b) {
        return !(a == b);
    }

private:
    std::string m_text;
};
