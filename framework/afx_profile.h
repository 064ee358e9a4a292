// The profile services of the application object, as an interface so that the settings
// logic can be tested without Windows. The Windows application object implements it over
// the private-profile functions.
#pragma once

#include "framework/afx_string.h"

// Profile texts are read into a buffer of this many bytes: a longer value comes back cut to
// one character less.
enum { PROFILE_STRING_BUFFER = 4096 };

class CProfileServices {
public:
    virtual ~CProfileServices() = default;
    // The value of `key`, or `def` when the key is absent; text is converted the platform's way.
    virtual unsigned int GetProfileInt(const char* section, const char* key, int def) = 0;
    // The text of `key`, or `def` (null counts as empty) when the key is absent; at most
    // PROFILE_STRING_BUFFER - 1 characters.
    virtual CString GetProfileString(const char* section, const char* key,
                                     const char* def = nullptr) = 0;
    // Writes `value` as signed decimal text.
    virtual int WriteProfileInt(const char* section, const char* key, int value) = 0;
    // Writes `value` as it stands.
    virtual int WriteProfileString(const char* section, const char* key, const char* value) = 0;
};
