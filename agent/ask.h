// vornagent --ask HOST[:PORT]: asks an agent for one set of readings the way the sensor
// plug-in does (a version 2 request, and a version 1 request when that is not answered in a
// quarter of the time-out) and tells what came back, or why nothing did.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "protocol/sensor_protocol.h"

namespace vorn::agent {

// How long --ask waits for an answer.
constexpr int kAskTimeoutMs = 2000;

struct AskResult {
    enum class Outcome {
        kReadings,    // status 0: the fields below hold the readings
        kNoSensors,   // status 1: the agent could read none of its sensors
        kTimeout,     // no valid reply within the time-out
        kRefused,     // the host reported that nothing listens on the port
        kBadHost,     // the host text is not HOST, HOST:PORT, [IPV6] or [IPV6]:PORT
        kUnresolved,  // the name has no address, or no socket could be opened to one
        kFailed,      // a socket call failed; `error` says which
    } outcome = Outcome::kFailed;
    std::string peer;          // the address asked, "127.0.0.1:29870"
    std::uint8_t version = 0;  // of the reply taken
    proto::Fields fields{};
    std::uint16_t alarm_mask = 0;
    std::chrono::microseconds round_trip{0};  // from the first request to the reply taken
    std::string error;
};

// Asks the agent at `host_text` once, waiting up to `timeout_ms`.
AskResult AskAgent(const std::string& host_text, int timeout_ms = kAskTimeoutMs);

// Prints a result for a person: the readings with their labels, the alarm mask and the
// round-trip time, or the reason there are none. Returns the exit status: 0 only on readings.
int PrintAskResult(const std::string& host_text, const AskResult& result, std::FILE* out,
                   std::FILE* err);

}  // namespace vorn::agent
