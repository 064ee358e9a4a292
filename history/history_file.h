// The history's file: a 64-byte header (magic, format version, the store's sizes, the body's
// size and CRC-32, the header's own CRC-32) and the store's body. Saved atomically: a new
// file is written, flushed to the disk and renamed over the old one, so a crash leaves the
// old file or the new one, never a mix. A file that is damaged, foreign or of a later format
// is renamed to PATH.bad and the history starts afresh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "history/store.h"

namespace vorn::history {

constexpr std::uint32_t kFileFormatVersion = 1;
constexpr std::size_t kFileHeaderSize = 64;

// The size of a history file.
std::size_t FileSize();

// Writes `store` to `path` atomically (through PATH.new); false with `error` set on failure,
// the old file then untouched.
bool SaveHistory(const Store& store, const std::string& path, std::string* error);

enum class LoadOutcome { kLoaded, kMissing, kSetAside, kUnreadable };

struct LoadResult {
    LoadOutcome outcome = LoadOutcome::kMissing;
    std::string message;  // one line for the log, empty when there is nothing to say
};

// Reads `path` into `store`. A missing file leaves the store empty; a file that cannot be
// opened is left alone (kUnreadable); one that does not decode is renamed to PATH.bad.
LoadResult LoadHistory(Store* store, const std::string& path);

// Decodes a whole file's bytes into `store`; false with `why` set (and the store empty) when
// they are not a history file this program wrote.
bool DecodeHistory(Store* store, const std::uint8_t* data, std::size_t size, std::string* why);

}  // namespace vorn::history
