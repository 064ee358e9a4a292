// Reading a small file whole, such that nothing swapped in for it can block the reader: the
// file is opened without waiting (a FIFO with no writer, a device) and read only when the
// opened handle is a regular file. POSIX in regular_file_posix.cpp, Windows in
// regular_file_win.cpp.
#pragma once

#include <cstddef>
#include <string>

namespace vorn::readings {

struct RegularFileText {
    bool ok = false;         // the file is a regular file and was read
    bool truncated = false;  // it holds more than max_bytes; text has the first max_bytes
    int mode = -1;           // the file's permission bits (0777) where the system has them, else -1
    std::string text;
    std::string error;  // why ok is false: "is not a regular file", "cannot be opened: ..."
};

// Reads up to `max_bytes` of `path`. Never waits on anything but the file's own reads.
RegularFileText ReadRegularFile(const std::string& path, std::size_t max_bytes);

}  // namespace vorn::readings
