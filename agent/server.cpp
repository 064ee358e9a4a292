#include "agent/server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorn::agent {

namespace {

constexpr int kBatch = 64;
// Batches taken from one socket before looking at the others and at the wake descriptor.
constexpr int kBatchesPerWake = 16;
// Larger than a request, so that a longer datagram shows its real size or MSG_TRUNC.
constexpr std::size_t kReceiveSize = proto::kDatagramSize + 1;

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

void Server::Close() {
    for (int fd : fds_)
        close(fd);
    fds_.clear();
}

bool Server::Listen(const std::vector<Endpoint>& endpoints, std::string* error) {
    Close();
    if (endpoints.empty() || endpoints.size() > kMaxListen) {
        if (error)
            *error = "between 1 and " + std::to_string(kMaxListen) + " listening addresses";
        return false;
    }
    for (const Endpoint& ep : endpoints) {
        const int family = ep.addr.ss_family;
        const int fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        bool ok = fd >= 0;
        if (ok && family == AF_INET6) {
            // An IPv6 wildcard also takes IPv4 (as mapped addresses) unless an IPv4
            // address on the same port is listed too.
            int v6only = 0;
            for (const Endpoint& other : endpoints) {
                if (other.addr.ss_family == AF_INET && PortOf(other) == PortOf(ep))
                    v6only = 1;
            }
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
        }
        ok = ok && bind(fd, reinterpret_cast<const sockaddr*>(&ep.addr), ep.len) == 0;
        if (!ok) {
            const int err = errno;
            if (fd >= 0)
                close(fd);
            Close();
            if (error) {
                *error = "cannot listen on " +
                         FormatEndpoint(reinterpret_cast<const sockaddr*>(&ep.addr)) + ": " +
                         std::strerror(err);
            }
            return false;
        }
        fds_.push_back(fd);
    }
    return true;
}

std::vector<Endpoint> Server::Bound() const {
    std::vector<Endpoint> bound;
    for (int fd : fds_) {
        Endpoint ep;
        ep.len = sizeof ep.addr;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&ep.addr), &ep.len) == 0) {
            bound.push_back(ep);
        }
    }
    return bound;
}

bool Server::ServeOnce(int timeout_ms, int wake_fd, const readings::Refresher& refresher,
                       const AllowList& allow, RateLimiter* limiter) {
    pollfd pfds[kMaxListen + 1];
    const std::size_t n = fds_.size();
    for (std::size_t i = 0; i < n; ++i)
        pfds[i] = pollfd{fds_[i], POLLIN, 0};
    pfds[n] = pollfd{wake_fd, POLLIN, 0};
    const int ready = poll(pfds, n + 1, timeout_ms);
    if (ready <= 0)
        return true;  // time-out, or a signal that the wake descriptor will show
    for (std::size_t i = 0; i < n; ++i) {
        if (pfds[i].revents & POLLIN)
            Drain(pfds[i].fd, refresher, allow, limiter);
    }
    return !(wake_fd >= 0 && (pfds[n].revents & POLLIN));
}

void Server::Drain(int fd, const readings::Refresher& refresher, const AllowList& allow,
                   RateLimiter* limiter) {
    std::uint8_t in[kBatch][kReceiveSize];
    sockaddr_storage from[kBatch];
    iovec in_iov[kBatch];
    mmsghdr in_msgs[kBatch];
    proto::Datagram out[kBatch];
    iovec out_iov[kBatch];
    mmsghdr out_msgs[kBatch];

    for (int round = 0; round < kBatchesPerWake; ++round) {
        for (int i = 0; i < kBatch; ++i) {
            in_iov[i] = iovec{in[i], kReceiveSize};
            in_msgs[i] = mmsghdr{};
            in_msgs[i].msg_hdr.msg_name = &from[i];
            in_msgs[i].msg_hdr.msg_namelen = sizeof from[i];
            in_msgs[i].msg_hdr.msg_iov = &in_iov[i];
            in_msgs[i].msg_hdr.msg_iovlen = 1;
        }
        const int got = recvmmsg(fd, in_msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (got <= 0)
            return;
        // One snapshot per batch: the latest sample, taken at once (the refresher's lock is
        // held only to copy a pointer), and only once a valid request is in hand.
        std::shared_ptr<const readings::Snapshot> snapshot;
        int replies = 0;
        for (int i = 0; i < got; ++i) {
            const msghdr& h = in_msgs[i].msg_hdr;
            const auto* source = reinterpret_cast<const sockaddr*>(&from[i]);
            if (h.msg_namelen == 0 || h.msg_namelen > sizeof from[i] || !allow.Admits(source)) {
                ++counters_.refused;
                continue;
            }
            std::uint32_t id = 0;
            if ((h.msg_flags & MSG_TRUNC) ||
                !proto::DecodeRequest(in[i], in_msgs[i].msg_len, &id)) {
                ++counters_.malformed;
                continue;
            }
            if (limiter && !limiter->Admit(source, RateLimiter::Clock::now())) {
                ++counters_.limited;
                continue;
            }
            if (!snapshot)
                snapshot = refresher.Current(readings::Clock::now());
            out[replies] = proto::EncodeReply(id, snapshot->status, snapshot->fields);
            out_iov[replies] = iovec{out[replies].data(), out[replies].size()};
            out_msgs[replies] = mmsghdr{};
            out_msgs[replies].msg_hdr.msg_name = &from[i];
            out_msgs[replies].msg_hdr.msg_namelen = h.msg_namelen;
            out_msgs[replies].msg_hdr.msg_iov = &out_iov[replies];
            out_msgs[replies].msg_hdr.msg_iovlen = 1;
            ++replies;
        }
        int sent = 0;
        while (sent < replies) {
            const int r =
                sendmmsg(fd, out_msgs + sent, static_cast<unsigned>(replies - sent), MSG_DONTWAIT);
            if (r < 0 && errno == EINTR)
                continue;
            // A full send buffer or an unreachable peer loses this reply; the client asks again.
            sent += r > 0 ? r : 1;
        }
        counters_.answered += static_cast<std::uint64_t>(replies);
        if (got < kBatch)
            return;
    }
}

}  // namespace vorn::agent
