#include <windows.h>

#include "readings/regular_file.h"

namespace vorn::readings {

RegularFileText ReadRegularFile(const std::string& path, std::size_t max_bytes) {
    RegularFileText result;
    // A named pipe or a device opens without waiting; only a disk file is read.
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        result.error = "cannot be opened (error " + std::to_string(GetLastError()) + ")";
        return result;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        result.error = "is not a regular file";
        return result;
    }
    char buf[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buf, sizeof buf, &got, nullptr)) {
            result.error = "cannot be read (error " + std::to_string(GetLastError()) + ")";
            CloseHandle(file);
            return result;
        }
        if (got == 0)
            break;
        const std::size_t room = max_bytes - result.text.size();
        if (got > room) {
            result.text.append(buf, room);
            result.truncated = true;
            break;
        }
        result.text.append(buf, got);
    }
    CloseHandle(file);
    result.ok = true;
    return result;
}

}  // namespace vorn::readings
