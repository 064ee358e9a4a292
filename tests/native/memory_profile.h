// A profile kept in memory that records every call, for testing the settings logic. It reads
// texts the way the Windows profile does: into a buffer of PROFILE_STRING_BUFFER bytes.
#pragma once

#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "framework/afx_profile.h"

class MemoryProfile : public CProfileServices {
public:
    struct Call {
        std::string op;  // "getint", "getstring", "writeint", "writestring"
        std::string section;
        std::string key;
        std::string value;  // what was written
    };

    unsigned int GetProfileInt(const char* section, const char* key, int def) override {
        calls.push_back({"getint", section, key, ""});
        const std::string* v = Find(section, key);
        if (v == nullptr)
            return static_cast<unsigned int>(def);
        return static_cast<unsigned int>(std::strtol(v->c_str(), nullptr, 10));
    }
    CString GetProfileString(const char* section, const char* key, const char* def) override {
        calls.push_back({"getstring", section, key, ""});
        const std::string* v = Find(section, key);
        const std::string text = v ? *v : std::string(def ? def : "");
        return CString(text.substr(0, PROFILE_STRING_BUFFER - 1));
    }
    int WriteProfileInt(const char* section, const char* key, int value) override {
        calls.push_back({"writeint", section, key, std::to_string(value)});
        Set(section, key, std::to_string(value));
        return 1;
    }
    int WriteProfileString(const char* section, const char* key, const char* value) override {
        calls.push_back({"writestring", section, key, value});
        Set(section, key, value);
        return 1;
    }

    void Set(const std::string& section, const std::string& key, const std::string& value) {
        auto& lines = sections[section];
        for (auto& kv : lines) {
            if (kv.first == key) {
                kv.second = value;
                return;
            }
        }
        lines.emplace_back(key, value);
    }
    const std::string* Find(const std::string& section, const std::string& key) const {
        auto it = sections.find(section);
        if (it == sections.end())
            return nullptr;
        for (const auto& kv : it->second) {
            if (kv.first == key)
                return &kv.second;
        }
        return nullptr;
    }
    // Keys of the calls of one kind, in order.
    std::vector<std::string> Keys(const std::string& opPrefix) const {
        std::vector<std::string> keys;
        for (const auto& c : calls) {
            if (c.op.rfind(opPrefix, 0) == 0)
                keys.push_back(c.key);
        }
        return keys;
    }

    std::map<std::string, std::vector<std::pair<std::string, std::string>>> sections;
    std::vector<Call> calls;
};
