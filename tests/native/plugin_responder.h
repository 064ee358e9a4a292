// A scripted sensor agent for the plug-in's tests: a UDP socket on loopback (port 0 unless
// told) served by one thread, which hands every well-formed request to a script and sends
// back what the script returns. Builds natively and for Windows.
//
// Which versions reach the script: by default version 2 only, so that every Get is one scripted
// exchange (the plug-in's version 1 fallback goes unseen, as it would to an agent that is slow
// to answer it); kVersion1Only plays an old agent that drops version 2 requests; kBothVersions
// hands the script both, as a real agent would answer them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorn::test {

using Bytes = std::vector<std::uint8_t>;

// One datagram to send, after a pause.
struct Outgoing {
    Bytes bytes;
    int delay_ms = 0;
};

// Called on the responder's thread with the request's 0-based index and its id.
using Script = std::function<std::vector<Outgoing>(int index, std::uint32_t id)>;

// The version of the request a script is answering; call it from a script only.
std::uint8_t AnsweringVersion();

enum class Speaks { kVersion2Only, kVersion1Only, kBothVersions };

// A well-formed request as it arrived, answered or not.
struct SeenRequest {
    std::uint32_t id;
    std::uint8_t version;
};

class Responder {
public:
    // Listens on 127.0.0.1 (or ::1 with ipv6) at port, 0 meaning any free port.
    explicit Responder(Script script, bool ipv6 = false, std::uint16_t port = 0,
                       Speaks speaks = Speaks::kVersion2Only);
    // Stops the thread and closes the socket.
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    // True when the socket is bound and the thread runs.
    bool Listening() const { return listening_; }
    std::uint16_t Port() const { return port_; }
    // "127.0.0.1:PORT" or "[::1]:PORT".
    std::string HostText() const;
    // Ids of the well-formed requests seen so far, in order.
    std::vector<std::uint32_t> Ids() const;
    // Every well-formed request seen so far, dropped ones too, in order.
    std::vector<SeenRequest> Seen() const;
    // Datagrams sent so far (each after its pause).
    int Sent() const { return sent_.load(); }
    // Waits until `n` datagrams have been sent, ten seconds at most; whether they were.
    bool WaitSent(int n) const;

private:
    void Serve();

    Script script_;
    bool ipv6_;
    Speaks speaks_;
    std::intptr_t socket_ = -1;
    std::uint16_t port_ = 0;
    bool listening_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
    mutable std::mutex mutex_;
    std::vector<std::uint32_t> ids_;
    std::vector<SeenRequest> seen_;
    std::thread thread_;
};

// A loopback UDP port that nothing listens on (bound once, then released).
std::uint16_t ClosedPort();

}  // namespace vorn::test
