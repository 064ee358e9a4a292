#include "plugin/udp_socket.h"

#include <climits>
#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <ntsecapi.h>  // RtlGenRandom (SystemFunction036 in advapi32)
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <time.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace vorn::net {

namespace {

#if defined(_WIN32)
using Native = SOCKET;
Native ToNative(Handle h) {
    return h == kNoSocket ? INVALID_SOCKET : static_cast<Native>(h);
}
Handle FromNative(Native s) {
    return s == INVALID_SOCKET ? kNoSocket : static_cast<Handle>(s);
}
constexpr int kWouldBlock = WSAEWOULDBLOCK;
constexpr int kInterrupted = WSAEINTR;

bool SetNonBlocking(Native s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}

Native NewUdpSocket(int family) {
    const Native s = socket(family, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return s;
    // Handles of a library are not for child processes to inherit.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if (!SetNonBlocking(s)) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

void CloseNative(Native s) {
    closesocket(s);
}
#else
using Native = int;
Native ToNative(Handle h) {
    return static_cast<Native>(h);
}
Handle FromNative(Native s) {
    return s < 0 ? kNoSocket : static_cast<Handle>(s);
}
constexpr int kWouldBlock = EWOULDBLOCK;
constexpr int kInterrupted = EINTR;

Native NewUdpSocket(int family) {
    return socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
}

void CloseNative(Native s) {
    close(s);
}
#endif

bool IsWouldBlock(int err) {
#if !defined(_WIN32)
    if (err == EAGAIN)
        return true;
#endif
    return err == kWouldBlock;
}

// Binds a new socket to the loopback address of family and connects it to itself.
Native SelfConnected(int family) {
    const Native s = NewUdpSocket(family);
    if (FromNative(s) == kNoSocket)
        return s;
    sockaddr_storage addr{};
    socklen_t len = 0;
    if (family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&addr);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof(sockaddr_in);
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        len = sizeof(sockaddr_in6);
    }
    auto* sa = reinterpret_cast<sockaddr*>(&addr);
    if (bind(s, sa, len) != 0 || getsockname(s, sa, &len) != 0 || connect(s, sa, len) != 0) {
        CloseNative(s);
        return ToNative(kNoSocket);
    }
    return s;
}

}  // namespace

bool StartNetwork(void* record, std::size_t size) {
#if defined(_WIN32)
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    if (data.wVersion != MAKEWORD(2, 2)) {
        WSACleanup();
        return false;
    }
    if (record != nullptr)
        std::memcpy(record, &data, size < sizeof data ? size : sizeof data);
    return true;
#else
    (void)record;
    (void)size;
    return true;
#endif
}

void StopNetwork() {
#if defined(_WIN32)
    WSACleanup();
#endif
}

MonotonicClock::time_point MonotonicClock::now() {
#if defined(_WIN32)
    LARGE_INTEGER rate;
    LARGE_INTEGER count;
    ::QueryPerformanceFrequency(&rate);
    ::QueryPerformanceCounter(&count);
    const std::uint64_t frequency = static_cast<std::uint64_t>(rate.QuadPart);
    const std::uint64_t ticks = static_cast<std::uint64_t>(count.QuadPart);
    // In two parts, so that the product does not overflow after a long uptime.
    const std::uint64_t ns =
        ticks / frequency * 1000000000u + ticks % frequency * 1000000000u / frequency;
#else
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ns = static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
                             static_cast<std::uint64_t>(ts.tv_nsec);
#endif
    return time_point(duration(static_cast<rep>(ns)));
}

int LastError() {
#if defined(_WIN32)
    return WSAGetLastError();
#else
    return errno;
#endif
}

Handle OpenConnected(const char* host, std::uint16_t port, bool v6_only, Address* peer) {
    if (host == nullptr || peer == nullptr)
        return kNoSocket;
    // The port's digits by hand: snprintf would pull mingw-w64's printf engine into the
    // plug-in, std::to_string the string and exception machinery.
    char service[8];
    char* digits = service + sizeof service;
    *--digits = '\0';
    unsigned value = port;
    do {
        *--digits = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    addrinfo hints{};
    hints.ai_family = v6_only ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    hints.ai_flags = AI_NUMERICSERV | (v6_only ? AI_NUMERICHOST : 0);
    addrinfo* list = nullptr;
    if (getaddrinfo(host, digits, &hints, &list) != 0 || list == nullptr)
        return kNoSocket;

    Handle result = kNoSocket;
    for (const addrinfo* ai = list; ai != nullptr && result == kNoSocket; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof peer->bytes)
            continue;
        Address candidate{};
        std::memcpy(candidate.bytes, ai->ai_addr, ai->ai_addrlen);
        candidate.len = static_cast<std::uint32_t>(ai->ai_addrlen);
        result = OpenConnectedTo(candidate);
        if (result != kNoSocket)
            *peer = candidate;
    }
    freeaddrinfo(list);
    return result;
}

Handle OpenConnectedTo(const Address& peer) {
    if (peer.len < sizeof(sockaddr_in) || peer.len > sizeof peer.bytes)
        return kNoSocket;
    sockaddr_storage addr{};
    std::memcpy(&addr, peer.bytes, peer.len);
    const Native s = NewUdpSocket(addr.ss_family);
    if (FromNative(s) == kNoSocket)
        return kNoSocket;
    if (connect(s, reinterpret_cast<const sockaddr*>(&addr), static_cast<socklen_t>(peer.len)) !=
        0) {
        CloseNative(s);
        return kNoSocket;
    }
    return FromNative(s);
}

Handle OpenWakeSocket() {
    Native s = SelfConnected(AF_INET);
    if (FromNative(s) == kNoSocket)
        s = SelfConnected(AF_INET6);
    return FromNative(s);
}

void Close(Handle socket) {
    if (socket != kNoSocket)
        CloseNative(ToNative(socket));
}

bool Send(Handle socket, const void* data, std::size_t len) {
    if (socket == kNoSocket)
        return false;
    for (;;) {
#if defined(_WIN32)
        const int n =
            send(ToNative(socket), static_cast<const char*>(data), static_cast<int>(len), 0);
#else
        const ssize_t n = send(ToNative(socket), data, len, MSG_NOSIGNAL);
#endif
        if (n >= 0)
            return static_cast<std::size_t>(n) == len;
        if (LastError() != kInterrupted)
            return false;
    }
}

Received Receive(Handle socket, void* buf, std::size_t cap, std::size_t* len) {
    if (socket == kNoSocket)
        return Received::kError;
    for (;;) {
#if defined(_WIN32)
        const int n = recv(ToNative(socket), static_cast<char*>(buf), static_cast<int>(cap), 0);
        if (n == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE) {
            *len = cap;  // Winsock fills the buffer, drops the rest and says so
            return Received::kDatagram;
        }
#else
        const ssize_t n = recv(ToNative(socket), buf, cap, MSG_DONTWAIT);
#endif
        if (n >= 0) {
            *len = static_cast<std::size_t>(n);
            return Received::kDatagram;
        }
        const int err = LastError();
        if (IsWouldBlock(err))
            return Received::kEmpty;
        if (err != kInterrupted)
            return Received::kError;
    }
}

Ready WaitReadable(Handle socket, Handle wake, unsigned int ms) {
#if defined(_WIN32)
    fd_set readable;
    fd_set failed;
    FD_ZERO(&readable);
    FD_ZERO(&failed);
    if (socket != kNoSocket) {
        FD_SET(ToNative(socket), &readable);
        FD_SET(ToNative(socket), &failed);
    }
    if (wake != kNoSocket)
        FD_SET(ToNative(wake), &readable);
    timeval tv;
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>(ms % 1000) * 1000;
    if (readable.fd_count == 0) {
        Sleep(ms);
        return Ready::kNothing;
    }
    const int n = select(0, &readable, nullptr, &failed, &tv);
    if (n == SOCKET_ERROR)
        return WSAGetLastError() == WSAEINTR ? Ready::kNothing : Ready::kFailed;
    if (wake != kNoSocket && FD_ISSET(ToNative(wake), &readable))
        return Ready::kWake;
    if (socket != kNoSocket &&
        (FD_ISSET(ToNative(socket), &readable) || FD_ISSET(ToNative(socket), &failed))) {
        return Ready::kSocket;
    }
    return Ready::kNothing;
#else
    pollfd fds[2] = {{ToNative(socket), POLLIN, 0}, {ToNative(wake), POLLIN, 0}};
    const int timeout = ms > static_cast<unsigned>(INT_MAX) ? INT_MAX : static_cast<int>(ms);
    const int n = poll(fds, 2, timeout);  // negative descriptors are ignored by poll
    if (n < 0)
        return errno == EINTR ? Ready::kNothing : Ready::kFailed;
    if (wake != kNoSocket && fds[1].revents != 0)
        return Ready::kWake;
    if (socket != kNoSocket && fds[0].revents != 0)
        return Ready::kSocket;
    return Ready::kNothing;
#endif
}

bool OsRandom(void* buf, std::size_t len) {
#if defined(_WIN32)
    return RtlGenRandom(buf, static_cast<ULONG>(len)) != FALSE;
#else
    auto* p = static_cast<unsigned char*>(buf);
    std::size_t got = 0;
    while (got < len) {
        const ssize_t n = getrandom(p + got, len - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    if (got == len)
        return true;
    // Kernels without getrandom: the same source through its device.
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    got = 0;
    while (got < len) {
        const ssize_t n = read(fd, p + got, len - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (!(n < 0 && errno == EINTR)) {
            break;
        }
    }
    close(fd);
    return got == len;
#endif
}

}  // namespace vorn::net
