// A scripted sensor agent for the plug-in's tests: a UDP socket on loopback (port 0 unless
// told) served by one thread, which hands every well-formed request to a script and sends
// back what the script returns. Builds natively and for Windows.
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

class Responder {
public:
    // Listens on 127.0.0.1 (or ::1 with ipv6) at port, 0 meaning any free port.
    explicit Responder(Script script, bool ipv6 = false, std::uint16_t port = 0);
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

private:
    void Serve();

    Script script_;
    bool ipv6_;
    std::intptr_t socket_ = -1;
    std::uint16_t port_ = 0;
    bool listening_ = false;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::uint32_t> ids_;
    std::thread thread_;
};

// A loopback UDP port that nothing listens on (bound once, then released).
std::uint16_t ClosedPort();

}  // namespace vorn::test
