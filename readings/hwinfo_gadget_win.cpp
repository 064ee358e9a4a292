// HWiNFO's Gadget values read from the registry with the wide-character functions, so that
// the degree sign and non-English sensor names arrive whatever the system's code page, and
// passed on in UTF-8. Every read opens the key afresh: HWiNFO may start, end or be set up
// after the agent.
//
// Whose key: HWiNFO writes under the current user's HKCU (under HKLM when it runs elevated on
// some setups). A service has a HKCU of its own account, so the signed-in console user's key is
// looked up under HKEY_USERS by that user's SID; a service running as LocalSystem may read
// it, a console agent finds its own HKCU there. The first key that holds readings is taken.
#include <windows.h>
// After windows.h:
#include <sddl.h>
#include <wtsapi32.h>

#include <cwchar>
#include <vector>

#include "readings/hwinfo_gadget.h"

namespace vorn::readings {

namespace {

constexpr wchar_t kKeyPath[] = L"Software\\HWiNFO64\\VSB";
// HWiNFO's values are short; a longer one is not HWiNFO's and is skipped.
constexpr DWORD kMaxNameChars = 64;
constexpr DWORD kMaxDataBytes = 1024;
constexpr DWORD kMaxValues = 8192;

std::string Utf8(const wchar_t* text, int chars) {
    if (chars <= 0)
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, chars, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, chars, &out[0], n, nullptr, nullptr);
    return out;
}

// UTF-16 text. A vector rather than std::wstring, whose library instantiation alone weighs
// some 50 KB in the static agent.
using WideText = std::vector<wchar_t>;

void Append(WideText* to, const wchar_t* text) {
    to->insert(to->end(), text, text + wcslen(text));
}

// "S-1-5-21-...\" (no terminator) for the user signed in at the console, empty when there is
// none or it cannot be told.
WideText ConsoleUserKeyPrefix() {
    const DWORD session = WTSGetActiveConsoleSessionId();
    if (session == 0xFFFFFFFF)
        return WideText();
    WideText account;  // "DOMAIN\user" or "user"
    for (WTS_INFO_CLASS part : {WTSDomainName, WTSUserName}) {
        LPWSTR text = nullptr;
        DWORD bytes = 0;
        if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, part, &text, &bytes) ||
            !text) {
            return WideText();
        }
        if (part == WTSDomainName && text[0]) {
            Append(&account, text);
            account.push_back(L'\\');
        } else if (part == WTSUserName) {
            Append(&account, text);
        }
        WTSFreeMemory(text);
    }
    if (account.empty() || account.back() == L'\\')
        return WideText();
    account.push_back(L'\0');
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof sid;
    wchar_t domain[256];
    DWORD domain_size = 256;
    SID_NAME_USE use;
    if (!LookupAccountNameW(nullptr, account.data(), sid, &sid_size, domain, &domain_size, &use))
        return WideText();
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return WideText();
    WideText prefix;
    Append(&prefix, text);
    prefix.push_back(L'\\');
    LocalFree(text);
    return prefix;
}

struct Candidate {
    HKEY root;
    const wchar_t* path;
    std::string name;  // for the log: "HKCU\Software\HWiNFO64\VSB"
};

class RegistryGadgetReader : public GadgetReader {
public:
    bool Read(std::vector<GadgetValue>* values, std::uint64_t* stamp, std::string* why) override {
        std::vector<Candidate> candidates;
        const WideText user = ConsoleUserKeyPrefix();
        WideText user_path;  // NUL-terminated; outlives the candidate that points at it
        if (!user.empty()) {
            user_path = user;
            Append(&user_path, kKeyPath);
            user_path.push_back(L'\0');
            candidates.push_back({HKEY_USERS, user_path.data(),
                                  "HKEY_USERS\\" +
                                      Utf8(user.data(), static_cast<int>(user.size())) +
                                      "Software\\HWiNFO64\\VSB"});
        }
        candidates.push_back({HKEY_CURRENT_USER, kKeyPath, "HKCU\\Software\\HWiNFO64\\VSB"});
        candidates.push_back({HKEY_LOCAL_MACHINE, kKeyPath, "HKLM\\Software\\HWiNFO64\\VSB"});
        bool any_key = false;
        for (const Candidate& c : candidates) {
            HKEY key = nullptr;
            if (RegOpenKeyExW(c.root, c.path, 0, KEY_READ, &key) != ERROR_SUCCESS)
                continue;
            any_key = true;
            const bool read = ReadKey(key, values, stamp);
            RegCloseKey(key);
            if (read) {
                where_ = c.name;
                return true;
            }
        }
        values->clear();
        *why = any_key ? "no reading is ticked for Gadget reporting in HWiNFO's sensor settings"
                       : "not found (is HWiNFO running with Gadget reporting on?)";
        return false;
    }

    std::string Where() const override { return where_; }

private:
    // The key's string values; true when one of them is a SensorN.
    static bool ReadKey(HKEY key, std::vector<GadgetValue>* values, std::uint64_t* stamp) {
        values->clear();
        FILETIME written{};
        DWORD count = 0;
        *stamp = 0;
        if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                             nullptr, nullptr, nullptr, &written) == ERROR_SUCCESS) {
            *stamp =
                static_cast<std::uint64_t>(written.dwHighDateTime) << 32 | written.dwLowDateTime;
        }
        bool sensors = false;
        for (DWORD i = 0; i < kMaxValues; ++i) {
            wchar_t name[kMaxNameChars + 1];
            DWORD name_chars = kMaxNameChars + 1;
            wchar_t data[kMaxDataBytes / sizeof(wchar_t) + 1];
            DWORD data_bytes = kMaxDataBytes;
            DWORD type = 0;
            const LONG r = RegEnumValueW(key, i, name, &name_chars, nullptr, &type,
                                         reinterpret_cast<BYTE*>(data), &data_bytes);
            if (r == ERROR_NO_MORE_ITEMS)
                break;
            if (r != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
                continue;  // too long, or not a text: not HWiNFO's
            // The data need not end in a terminator: take its length, without one if there.
            int chars = static_cast<int>(data_bytes / sizeof(wchar_t));
            while (chars > 0 && data[chars - 1] == L'\0')
                --chars;
            GadgetValue v;
            v.name = Utf8(name, static_cast<int>(name_chars));
            v.text = Utf8(data, chars);
            sensors = sensors || v.name.rfind("Sensor", 0) == 0;
            values->push_back(std::move(v));
        }
        return sensors;
    }

    std::string where_ = "HKCU\\Software\\HWiNFO64\\VSB";
};

}  // namespace

std::unique_ptr<GadgetReader> OpenHwinfoGadgetRegistry() {
    return std::make_unique<RegistryGadgetReader>();
}

}  // namespace vorn::readings
