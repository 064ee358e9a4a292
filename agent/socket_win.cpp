#include <mswsock.h>

#include <mutex>

#include "agent/socket.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace vorn::agent::net {

bool StartSockets(std::string* error) {
    static std::once_flag once;
    static int status = 0;
    std::call_once(once, [] {
        WSADATA data;
        status = WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (status != 0 && error)
        *error = "cannot start Windows sockets (error " + std::to_string(status) + ")";
    return status == 0;
}

Socket OpenDatagram(int family) {
    // Not inheritable, so that a program the agent might start never holds its port.
    const Socket s = WSASocketW(family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return s;
    u_long nonblocking = 1;
    ioctlsocket(s, FIONBIO, &nonblocking);
    // Windows reports an ICMP "port unreachable" for an earlier reply as an error on the next
    // receive; a client that went away must not disturb the others.
    BOOL report = FALSE;
    DWORD bytes = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &bytes, nullptr, nullptr);
    return s;
}

void CloseSocket(Socket s) {
    closesocket(s);
}

std::string LastErrorText() {
    const int code = WSAGetLastError();
    char text[256] = "";
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.'))
        s.pop_back();
    return (s.empty() ? "socket error" : s) + " (" + std::to_string(code) + ")";
}

}  // namespace vorn::agent::net
