// A thin layer over POSIX sockets and Winsock, just wide enough for the plug-in's UDP client:
// the same calls build natively and for Windows. Handles are plain integers, -1 when closed.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace vorn::net {

using Handle = std::intptr_t;
constexpr Handle kNoSocket = -1;

// Room for a sockaddr_in or sockaddr_in6.
struct Address {
    unsigned char bytes[32];
    std::uint32_t len;
};

// A steady clock for std::chrono arithmetic (QueryPerformanceCounter, CLOCK_MONOTONIC). Not
// std::chrono::steady_clock: under mingw-w64 its now() would bring the C++ exception runtime
// and the POSIX thread library into the plug-in, some 60 KB.
struct MonotonicClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<MonotonicClock>;
    static constexpr bool is_steady = true;
    static time_point now();
};

// Starts Winsock 2.2 and copies its start-up record into record (at most size bytes); natively
// there is nothing to start. True when sockets can be used; each success needs one StopNetwork.
bool StartNetwork(void* record, std::size_t size);
// Ends one successful StartNetwork.
void StopNetwork();

// The calling thread's last socket error (errno or WSAGetLastError).
int LastError();

// Resolves host and opens a non-blocking UDP socket connected to the first of its addresses
// that accepts one, port in host order; v6_only limits the search to IPv6. *peer gets the
// address. kNoSocket when the host cannot be resolved or no socket opens.
Handle OpenConnected(const char* host, std::uint16_t port, bool v6_only, Address* peer);

// Opens a non-blocking UDP socket connected to peer, an address OpenConnected found.
Handle OpenConnectedTo(const Address& peer);

// A non-blocking loopback UDP socket connected to itself: a byte sent on it makes it readable,
// which wakes a WaitReadable that includes it.
Handle OpenWakeSocket();

// Closes a socket; harmless with kNoSocket.
void Close(Handle socket);

// Sends one datagram on a connected socket; true when it went out whole.
bool Send(Handle socket, const void* data, std::size_t len);

enum class Received {
    kDatagram,  // *len bytes arrived; a longer datagram arrives cut to cap bytes
    kEmpty,     // nothing queued
    kError,     // the socket reported an error (an ICMP port or host unreachable among them)
};
// Takes one queued datagram without waiting.
Received Receive(Handle socket, void* buf, std::size_t cap, std::size_t* len);

enum class Ready {
    kSocket,   // socket has a datagram or an error to report
    kWake,     // wake was written to
    kNothing,  // the time ran out (or the wait was interrupted)
    kFailed,   // the wait itself failed
};
// Waits up to ms milliseconds (0: just looks) until socket or wake (which may be kNoSocket)
// is readable; wake wins when both are.
Ready WaitReadable(Handle socket, Handle wake, unsigned int ms);

// Fills buf from the operating system's random source (getrandom or /dev/urandom natively,
// RtlGenRandom on Windows); false when the source fails.
bool OsRandom(void* buf, std::size_t len);

}  // namespace vorn::net
