#include "agent/server.h"

#include <cstring>

namespace vorn::agent {

namespace {

std::uint16_t PortOf(const Endpoint& ep) {
    if (ep.addr.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&ep.addr)->sin_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&ep.addr)->sin6_port);
}

}  // namespace

Server::~Server() {
    Close();
}

bool Server::Listen(const std::vector<Endpoint>& endpoints, std::string* error) {
    Close();
    if (endpoints.empty() || endpoints.size() > kMaxListen) {
        if (error)
            *error = "between 1 and " + std::to_string(kMaxListen) + " listening addresses";
        return false;
    }
    if (!net::StartSockets(error))
        return false;
    for (const Endpoint& ep : endpoints) {
        const int family = ep.addr.ss_family;
        const net::Socket fd = net::OpenDatagram(family);
        bool ok = fd != net::kNoSocket;
        if (ok && family == AF_INET6) {
            // An IPv6 wildcard also takes IPv4 (as mapped addresses) unless an IPv4
            // address on the same port is listed too.
            int v6only = 0;
            for (const Endpoint& other : endpoints) {
                if (other.addr.ss_family == AF_INET && PortOf(other) == PortOf(ep))
                    v6only = 1;
            }
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6only),
                       sizeof v6only);
        }
        ok = ok && bind(fd, reinterpret_cast<const sockaddr*>(&ep.addr), ep.len) == 0;
        if (ok && !Watch(fd))
            ok = false;
        if (!ok) {
            const std::string why = net::LastErrorText();
            if (fd != net::kNoSocket)
                net::CloseSocket(fd);
            Close();
            if (error) {
                *error = "cannot listen on " +
                         FormatEndpoint(reinterpret_cast<const sockaddr*>(&ep.addr)) + ": " + why;
            }
            return false;
        }
        fds_.push_back(fd);
    }
    return true;
}

std::vector<Endpoint> Server::Bound() const {
    std::vector<Endpoint> bound;
    for (net::Socket fd : fds_) {
        Endpoint ep;
        ep.len = sizeof ep.addr;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&ep.addr), &ep.len) == 0) {
            bound.push_back(ep);
        }
    }
    return bound;
}

Server::Verdict Server::Decide(const sockaddr* from, socklen_t from_len, const std::uint8_t* data,
                               std::size_t size, bool truncated,
                               const readings::Refresher& refresher, const AllowList& allow,
                               RateLimiter* limiter,
                               std::shared_ptr<const readings::Snapshot>* snapshot,
                               proto::Datagram* reply) {
    if (from_len <= 0 || static_cast<std::size_t>(from_len) > sizeof(sockaddr_storage) ||
        !allow.Admits(from)) {
        ++counters_.refused;
        return Verdict::kDrop;
    }
    std::uint32_t id = 0;
    if (truncated || !proto::DecodeRequest(data, size, &id)) {
        ++counters_.malformed;
        return Verdict::kDrop;
    }
    if (limiter && !limiter->Admit(from, RateLimiter::Clock::now())) {
        ++counters_.limited;
        return Verdict::kDrop;
    }
    // The latest sample, taken at once (the refresher's lock is held only to copy a pointer).
    if (!*snapshot)
        *snapshot = refresher.Current(readings::Clock::now());
    *reply = proto::EncodeReply(id, (*snapshot)->status, (*snapshot)->fields);
    return Verdict::kAnswer;
}

}  // namespace vorn::agent
