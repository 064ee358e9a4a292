// Writes bytes shaped like HWiNFO's sensor shared memory, for the parser's tests, the fuzz
// corpus and the Windows test program that serves them as a real file mapping.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::testing {

struct FakeSensor {
    std::uint32_t id = 0;
    std::uint32_t instance = 0;
    std::string original_name;
    std::string user_name;
};

struct FakeReading {
    std::uint32_t type = 0;  // 1 temperature, 2 voltage, 3 fan, ...
    std::uint32_t sensor = 0;
    std::uint32_t id = 0;
    std::string original_label;
    std::string user_label;
    std::string unit;
    double value = 0, min = 0, max = 0, avg = 0;
};

// kPlain: the first layout (264-byte sensors, 316-byte readings); kUtf8: the current one
// (392 and 460 bytes, with UTF-8 copies of the user names and unit).
enum class HwinfoLayout { kPlain, kUtf8 };

// The whole memory: header, sensor array, reading array. Names longer than their field are cut.
// The current layout leaves the polling period at 0 (absent): poke it where a test needs it.
std::vector<std::uint8_t> BuildHwinfoImage(const std::vector<FakeSensor>& sensors,
                                           const std::vector<FakeReading>& readings,
                                           HwinfoLayout layout);

// Overwrites a little-endian uint32 at `at`.
void PokeU32(std::vector<std::uint8_t>* image, std::size_t at, std::uint32_t value);

// Overwrites the header's poll time (HWiNFO advances it at every poll).
void PokePollTime(std::vector<std::uint8_t>* image, std::int64_t seconds);

// A sample machine: a CPU, a board chip with temperatures, rails and fans.
std::vector<FakeSensor> SampleSensors();
std::vector<FakeReading> SampleReadings();

}  // namespace vorn::testing
