#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent/socket.h"

namespace vorn::agent::net {

bool StartSockets(std::string*) {
    return true;
}

Socket OpenDatagram(int family) {
    return socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

void CloseSocket(Socket s) {
    close(s);
}

std::string LastErrorText() {
    return std::strerror(errno);
}

}  // namespace vorn::agent::net
