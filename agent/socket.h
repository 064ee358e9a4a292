// The little of the socket interface that differs between POSIX and Winsock: the headers, the
// handle types and opening, closing and describing errors. Everything else (sockaddr, bind,
// getsockname, inet_pton) is spelt the same on both.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <string>

namespace vorn::agent::net {

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
// What wakes the serving loop besides datagrams: an event object (nullptr for none).
using Wake = HANDLE;
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
// What wakes the serving loop besides datagrams: a readable descriptor (-1 for none).
using Wake = int;
#endif

// Starts the socket library for the process (Winsock's WSAStartup; nothing on POSIX).
// Call once before the first socket; on failure `error` says why.
bool StartSockets(std::string* error);

// A non-blocking UDP socket that child processes do not inherit; kNoSocket on failure.
Socket OpenDatagram(int family);

void CloseSocket(Socket s);

// The last socket call's error as text ("Address already in use").
std::string LastErrorText();

}  // namespace vorn::agent::net
