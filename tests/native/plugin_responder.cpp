#include "plugin_responder.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "protocol/sensor_protocol.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using socklen_t = int;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace vorn::test {

namespace {

// The responder never outlives a test by much, whatever the script does.
constexpr auto kLifetime = std::chrono::seconds(60);
constexpr int kMaxRequests = 1000;

#if defined(_WIN32)
using Native = SOCKET;
void CloseNative(Native s) {
    closesocket(s);
}
// Winsock counts start-ups, so every socket user here starts its own.
struct Winsock {
    Winsock() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Winsock() { WSACleanup(); }
};
#else
using Native = int;
void CloseNative(Native s) {
    close(s);
}
struct Winsock {
    Winsock() {}
};
#endif

Native ToNative(std::intptr_t h) {
    return static_cast<Native>(h);
}

// Binds a UDP socket to the loopback address; -1 on failure, *port set from the bound address.
std::intptr_t BindLoopback(bool ipv6, std::uint16_t* port) {
    const Native s = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (static_cast<std::intptr_t>(s) == -1)
        return -1;
    sockaddr_storage addr{};
    socklen_t len;
    if (ipv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        in6->sin6_port = htons(*port);
        len = sizeof(sockaddr_in6);
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&addr);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in->sin_port = htons(*port);
        len = sizeof(sockaddr_in);
    }
    auto* sa = reinterpret_cast<sockaddr*>(&addr);
    if (bind(s, sa, len) != 0 || getsockname(s, sa, &len) != 0) {
        CloseNative(s);
        return -1;
    }
    *port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    return static_cast<std::intptr_t>(s);
}

thread_local std::uint8_t answering_version = 0;

}  // namespace

std::uint8_t AnsweringVersion() {
    return answering_version;
}

Responder::Responder(Script script, bool ipv6, std::uint16_t port, Speaks speaks)
    : script_(std::move(script)), ipv6_(ipv6), speaks_(speaks), port_(port) {
    static Winsock winsock;  // for the test program's whole run
    socket_ = BindLoopback(ipv6_, &port_);
    if (socket_ == -1)
        return;
    listening_ = true;
    thread_ = std::thread([this] { Serve(); });
}

Responder::~Responder() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (socket_ != -1)
        CloseNative(ToNative(socket_));
}

std::string Responder::HostText() const {
    const std::string port = std::to_string(port_);
    return ipv6_ ? "[::1]:" + port : "127.0.0.1:" + port;
}

std::vector<std::uint32_t> Responder::Ids() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ids_;
}

bool Responder::WaitSent(int n) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sent_ < n && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return sent_ >= n;
}

std::vector<SeenRequest> Responder::Seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

void Responder::Serve() {
    const auto end = std::chrono::steady_clock::now() + kLifetime;
    const Native s = ToNative(socket_);
    int index = 0;
    while (!stop_ && index < kMaxRequests && std::chrono::steady_clock::now() < end) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval tv{0, 20 * 1000};
        if (select(static_cast<int>(s) + 1, &readable, nullptr, nullptr, &tv) <= 0)
            continue;
        std::uint8_t buf[512];
        sockaddr_storage from{};
        socklen_t from_len = sizeof from;
        const auto n = recvfrom(s, reinterpret_cast<char*>(buf), sizeof buf, 0,
                                reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n < 0)
            continue;
        std::uint32_t id = 0;
        std::uint8_t version = 0;
        if (!proto::DecodeRequest(buf, static_cast<std::size_t>(n), &id, &version))
            continue;
        const bool dropped = (speaks_ == Speaks::kVersion1Only && version != proto::kVersion1) ||
                             (speaks_ == Speaks::kVersion2Only && version != proto::kVersion2);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back(SeenRequest{id, version});
            if (!dropped)
                ids_.push_back(id);
        }
        if (dropped)
            continue;
        answering_version = version;
        for (const Outgoing& out : script_(index++, id)) {
            // A long pause or flood ends with the responder.
            const auto due =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(out.delay_ms);
            while (!stop_ && std::chrono::steady_clock::now() < due)
                std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                    due - std::chrono::steady_clock::now(), std::chrono::milliseconds(10)));
            if (stop_)
                break;
            sendto(s, reinterpret_cast<const char*>(out.bytes.data()),
                   static_cast<int>(out.bytes.size()), 0, reinterpret_cast<sockaddr*>(&from),
                   from_len);
            ++sent_;
        }
    }
}

std::uint16_t ClosedPort() {
    static Winsock winsock;
    std::uint16_t port = 0;
    const std::intptr_t s = BindLoopback(false, &port);
    if (s == -1)
        return 0;
    CloseNative(ToNative(s));
    return port;
}

}  // namespace vorn::test
