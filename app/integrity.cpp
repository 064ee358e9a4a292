#include "app/integrity.h"

#include <windows.h>

#include <vector>

#include "app/pe_checksum.h"

bool ExecutableIsIntact() {
    char path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return false;
    HANDLE file = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size{};
    bool intact = false;
    // An executable of more than 64 MiB is not ours.
    if (::GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < (64 << 20)) {
        std::vector<std::uint8_t> image(static_cast<std::size_t>(size.QuadPart));
        DWORD read = 0;
        if (::ReadFile(file, image.data(), static_cast<DWORD>(image.size()), &read, nullptr) &&
            read == image.size()) {
            intact = PeChecksumMatches(image.data(), image.size());
        }
    }
    ::CloseHandle(file);
    return intact;
}
