// Helpers shared by the agent's tests: temporary trees, a loopback UDP client and a
// child vornagent process whose stderr is read line by line. Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/address.h"
#include "protocol/sensor_protocol.h"
#include "readings/refresher.h"
#include "readings/source.h"

namespace vorn::agent::testing {

// The committed fixture file or directory at `relative` under tests/native/fixtures.
std::string Fixture(const std::string& relative);

// A fresh directory under TMPDIR, removed with its contents when destroyed.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes `text` to path()/name (replacing it atomically) and returns the full path.
    std::string Write(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

// Copies a directory tree (regular files and directories only).
void CopyTree(const std::string& from, const std::string& to);

// Removes a directory tree.
void RemoveTree(const std::string& path);

// A source that gives the same readings at every sample and counts its samples in `reads`
// (when given; it must outlive the source).
class FixedSource : public readings::Source {
public:
    explicit FixedSource(readings::ReadingSet set, std::atomic<int>* reads = nullptr)
        : set_(std::move(set)), reads_(reads) {}
    readings::ReadingSet Sample() override;
    std::string Describe() const override { return "fixed"; }
    std::vector<readings::ListedInput> List() override { return {}; }

private:
    readings::ReadingSet set_;
    std::atomic<int>* reads_;
};

// Readings with the given values at the given record positions.
readings::ReadingSet ReadingsOf(const std::vector<std::pair<int, double>>& values);

// Warnings that go nowhere, for tests that do not look at them.
readings::Warnings* QuietWarnings();

// A refresher over `source` that has taken its first sample; with the default interval of an
// hour it samples no more during a test.
std::unique_ptr<readings::Refresher> SampledRefresher(
    std::unique_ptr<readings::Source> source,
    std::chrono::milliseconds interval = std::chrono::hours(1));

// A UDP socket on the loopback address of one family, owned by the object.
class UdpClient {
public:
    explicit UdpClient(int family);
    ~UdpClient();
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;

    bool SendTo(const Endpoint& to, const void* data, std::size_t len);
    // The next datagram within `timeout_ms`, or nothing.
    std::optional<std::vector<std::uint8_t>> Receive(int timeout_ms);
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

struct Answer {
    proto::ReplyStatus status = proto::ReplyStatus::kNoSensors;
    proto::Fields fields{};
    std::string Text(int field) const { return fields[field].data(); }
};

// Sends a request with `id` and waits up to `timeout_ms` for a reply that decodes for it.
std::optional<Answer> Ask(UdpClient& client, const Endpoint& to, std::uint32_t id,
                          int timeout_ms = 2000);

// The agent's address on the loopback address of `family` with `port`.
Endpoint Loopback(int family, std::uint16_t port);

// Port of an endpoint.
std::uint16_t PortOf(const Endpoint& ep);

// A vornagent child process; killed and reaped when destroyed if still running.
class AgentProcess {
public:
    AgentProcess() = default;
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // Starts the binary with `args`; stdout and stderr are captured.
    bool Start(const std::vector<std::string>& args);
    // Waits for the start line and returns the bound endpoints it names.
    std::vector<Endpoint> WaitListening(int timeout_ms = 5000);
    // Waits for a stderr line containing `text`, looking past lines already seen.
    bool WaitForLine(const std::string& text, int timeout_ms = 5000);
    // Everything read from stderr so far.
    const std::string& err() const { return err_; }
    const std::string& out() const { return out_; }
    void Signal(int sig) const;
    // Waits for the exit and returns the exit status, or -1 on a time-out or a signal death.
    int Wait(int timeout_ms = 5000);
    pid_t pid() const { return pid_; }

private:
    void Pump(int timeout_ms);

    pid_t pid_ = -1;
    int err_fd_ = -1;
    int out_fd_ = -1;
    std::string err_;
    std::string out_;
    std::size_t seen_ = 0;
};

// Runs vornagent with `args` to its end (bounded) and returns the exit status; captures output.
int RunAgent(const std::vector<std::string>& args, std::string* out, std::string* err,
             int timeout_ms = 5000);

}  // namespace vorn::agent::testing
