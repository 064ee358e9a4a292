// The serving loop's I/O on POSIX: poll over the sockets and the wake descriptor, and
// datagrams taken and answered in batches with recvmmsg and sendmmsg.
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "agent/server.h"

namespace vorn::agent {

namespace {

constexpr int kBatch = 64;
// Batches taken from one socket before looking at the others and at the wake descriptor.
constexpr int kBatchesPerWake = 16;
// Larger than a request, so that a longer datagram shows its real size or MSG_TRUNC.
constexpr std::size_t kReceiveSize = proto::kDatagramSize + 1;

}  // namespace

bool Server::Watch(net::Socket) {
    return true;
}

void Server::Close() {
    for (net::Socket fd : fds_)
        net::CloseSocket(fd);
    fds_.clear();
}

bool Server::ServeOnce(int timeout_ms, net::Wake wake, const readings::Refresher& refresher,
                       const AllowList& allow, RateLimiter* limiter) {
    pollfd pfds[kMaxListen + 1];
    const std::size_t n = fds_.size();
    for (std::size_t i = 0; i < n; ++i)
        pfds[i] = pollfd{fds_[i], POLLIN, 0};
    pfds[n] = pollfd{wake, POLLIN, 0};
    const int ready = poll(pfds, n + 1, timeout_ms);
    if (ready <= 0)
        return true;  // time-out, or a signal that the wake descriptor will show
    for (std::size_t i = 0; i < n; ++i) {
        if (pfds[i].revents & POLLIN)
            Drain(pfds[i].fd, refresher, allow, limiter);
    }
    return !(wake >= 0 && (pfds[n].revents & POLLIN));
}

void Server::Drain(net::Socket fd, const readings::Refresher& refresher, const AllowList& allow,
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
        std::shared_ptr<const readings::Snapshot> snapshot;
        int replies = 0;
        for (int i = 0; i < got; ++i) {
            const msghdr& h = in_msgs[i].msg_hdr;
            if (Decide(reinterpret_cast<const sockaddr*>(&from[i]), h.msg_namelen, in[i],
                       in_msgs[i].msg_len, (h.msg_flags & MSG_TRUNC) != 0, refresher, allow,
                       limiter, &snapshot, &out[replies]) != Verdict::kAnswer) {
                continue;
            }
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
