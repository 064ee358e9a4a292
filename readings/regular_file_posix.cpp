#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "readings/regular_file.h"

namespace vorn::readings {

RegularFileText ReadRegularFile(const std::string& path, std::size_t max_bytes) {
    RegularFileText result;
    // O_NONBLOCK: opening a FIFO without a writer (or a device) returns at once instead of
    // waiting; the type is then checked on the descriptor itself, so a swap between a look
    // at the name and the open cannot slip a FIFO in.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        result.error = std::string("cannot be opened: ") + std::strerror(errno);
        return result;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        result.error = "is not a regular file";
        return result;
    }
    result.mode = static_cast<int>(status.st_mode & 0777);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    char buf[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            result.error = std::string("cannot be read: ") + std::strerror(errno);
            ::close(fd);
            return result;
        }
        if (got == 0)
            break;
        const std::size_t room = max_bytes - result.text.size();
        if (static_cast<std::size_t>(got) > room) {
            result.text.append(buf, room);
            result.truncated = true;
            break;
        }
        result.text.append(buf, static_cast<std::size_t>(got));
    }
    ::close(fd);
    result.ok = true;
    return result;
}

}  // namespace vorn::readings
