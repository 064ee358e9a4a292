#include "history/history_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "history/crc32.h"
#include "protocol/big_endian.h"

namespace vorn::history {

namespace {

constexpr std::uint8_t kMagic[8] = {'V', 'O', 'R', 'N', 'H', 'I', 'S', 'T'};
constexpr std::size_t kHeaderCrcOffset = 44;

void WriteHeader(std::uint8_t* h, std::uint32_t body_crc) {
    std::memset(h, 0, kFileHeaderSize);
    std::memcpy(h, kMagic, 8);
    proto::PutBigEndian(h + 8, kFileFormatVersion, 4);
    proto::PutBigEndian(h + 12, kFileHeaderSize, 4);
    proto::PutBigEndian(h + 16, kReadings, 4);
    for (int r = 0; r < proto::kHistoryResolutions; ++r)
        proto::PutBigEndian(h + 20 + 4 * r, static_cast<std::uint64_t>(kRingShapes[r].slots), 4);
    proto::PutBigEndian(h + 32, Store::SerializedSize(), 8);
    proto::PutBigEndian(h + 40, body_crc, 4);
    proto::PutBigEndian(h + kHeaderCrcOffset, Crc32(0, h, kHeaderCrcOffset), 4);
}

// Judges a header; `why` says what is wrong with it.
bool CheckHeader(const std::uint8_t* h, std::string* why) {
    if (std::memcmp(h, kMagic, 8) != 0) {
        *why = "not a history file";
        return false;
    }
    if (proto::GetBigEndian(h + kHeaderCrcOffset, 4) != Crc32(0, h, kHeaderCrcOffset)) {
        *why = "its header is damaged";
        return false;
    }
    const std::uint64_t version = proto::GetBigEndian(h + 8, 4);
    if (version != kFileFormatVersion) {
        *why = "format version " + std::to_string(version) + ", this agent reads " +
               std::to_string(kFileFormatVersion);
        return false;
    }
    bool sizes = proto::GetBigEndian(h + 12, 4) == kFileHeaderSize &&
                 proto::GetBigEndian(h + 16, 4) == kReadings &&
                 proto::GetBigEndian(h + 32, 8) == Store::SerializedSize();
    for (int r = 0; r < proto::kHistoryResolutions; ++r)
        sizes = sizes && proto::GetBigEndian(h + 20 + 4 * r, 4) ==
                             static_cast<std::uint64_t>(kRingShapes[r].slots);
    for (std::size_t i = 48; i < kFileHeaderSize; ++i)
        sizes = sizes && h[i] == 0;
    if (!sizes) {
        *why = "its sizes are not this agent's";
        return false;
    }
    return true;
}

// Decodes header and body from `read`, which must then be exhausted.
bool Decode(Store* store, const ByteSource& read, std::string* why) {
    std::uint8_t header[kFileHeaderSize];
    if (!read(header, sizeof header)) {
        *why = "it is too short";
        return false;
    }
    if (!CheckHeader(header, why))
        return false;
    std::uint32_t crc = 0;
    const ByteSource body = [&](std::uint8_t* p, std::size_t n) {
        if (!read(p, n))
            return false;
        crc = Crc32(crc, p, n);
        return true;
    };
    const bool decoded = store->Deserialize(body);
    std::uint8_t extra;
    if (!decoded || read(&extra, 1) || crc != proto::GetBigEndian(header + 40, 4)) {
        store->Clear();
        *why = !decoded && crc == proto::GetBigEndian(header + 40, 4)
                   ? "its body is inconsistent"
                   : "its body is damaged or cut short";
        return false;
    }
    return true;
}

bool SyncFile(std::FILE* f) {
#ifdef _WIN32
    return _commit(_fileno(f)) == 0;
#else
    return fsync(fileno(f)) == 0;
#endif
}

bool ReplaceFile(const std::string& from, const std::string& to) {
#ifdef _WIN32
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    if (std::rename(from.c_str(), to.c_str()) != 0)
        return false;
    // The rename itself reaches the disk with its directory.
    const std::size_t slash = to.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : to.substr(0, slash + 1);
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
    return true;
#endif
}

std::string ErrorText(int error) {
    return std::strerror(error);
}

}  // namespace

std::size_t FileSize() {
    return kFileHeaderSize + Store::SerializedSize();
}

bool SaveHistory(const Store& store, const std::string& path, std::string* error) {
    const std::string temp = path + ".new";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) {
        if (error)
            *error = "cannot write " + temp + ": " + ErrorText(errno);
        return false;
    }
    std::uint8_t header[kFileHeaderSize] = {};
    std::uint32_t crc = 0;
    bool ok = std::fwrite(header, 1, sizeof header, f) == sizeof header;
    ok = ok && store.Serialize([&](const std::uint8_t* p, std::size_t n) {
        crc = Crc32(crc, p, n);
        return std::fwrite(p, 1, n, f) == n;
    });
    WriteHeader(header, crc);
    ok = ok && std::fseek(f, 0, SEEK_SET) == 0 &&
         std::fwrite(header, 1, sizeof header, f) == sizeof header && std::fflush(f) == 0 &&
         SyncFile(f);
    const int saved_errno = errno;
    ok = std::fclose(f) == 0 && ok;
    if (ok && ReplaceFile(temp, path))
        return true;
    if (error)
        *error = "cannot write " + path + ": " + ErrorText(ok ? errno : saved_errno);
    std::remove(temp.c_str());
    return false;
}

LoadResult LoadHistory(Store* store, const std::string& path) {
    store->Clear();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        if (errno == ENOENT)
            return {LoadOutcome::kMissing, "no history at " + path + " yet; starting afresh"};
        return {LoadOutcome::kUnreadable,
                "cannot read the history " + path + ": " + ErrorText(errno)};
    }
    std::string why;
    const bool ok = Decode(
        store, [f](std::uint8_t* p, std::size_t n) { return std::fread(p, 1, n, f) == n; }, &why);
    std::fclose(f);
    if (ok)
        return {LoadOutcome::kLoaded, ""};
    const std::string aside = path + ".bad";
    std::remove(aside.c_str());
    const bool moved = std::rename(path.c_str(), aside.c_str()) == 0;
    return {LoadOutcome::kSetAside, "history " + path + " set aside" +
                                        (moved ? " as " + aside : " (cannot rename it)") + " (" +
                                        why + "); starting afresh"};
}

bool DecodeHistory(Store* store, const std::uint8_t* data, std::size_t size, std::string* why) {
    store->Clear();
    std::size_t pos = 0;
    std::string reason;
    const bool ok = Decode(
        store,
        [&](std::uint8_t* p, std::size_t n) {
            if (n > size - pos)
                return false;
            std::memcpy(p, data + pos, n);
            pos += n;
            return true;
        },
        &reason);
    if (why)
        *why = reason;
    return ok;
}

}  // namespace vorn::history
