// The serving loop's I/O on POSIX: poll over the sockets and the wake descriptor, and
// datagrams taken and answered in batches with recvmmsg and sendmmsg.
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "agent/metrics_server.h"
#include "agent/server.h"

namespace vorn::agent {

namespace {

constexpr int kBatch = 64;
// Batches taken from one socket before looking at the others and at the wake descriptor.
constexpr int kBatchesPerWake = 16;
// Larger than the longest request, so that a longer datagram shows MSG_TRUNC.
constexpr std::size_t kReceiveSize = Server::kReplyCapacity + 1;

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
                       const AllowList& allow, RateLimiter* limiter, MetricsServer* metrics,
                       const std::function<std::string()>& render) {
    pollfd pfds[kMaxListen + MetricsServer::kMaxPollFds + 1];
    const std::size_t n = fds_.size();
    for (std::size_t i = 0; i < n; ++i)
        pfds[i] = pollfd{fds_[i], POLLIN, 0};
    const std::size_t m = metrics ? metrics->AddToPoll(pfds + n) : 0;
    pfds[n + m] = pollfd{wake, POLLIN, 0};
    if (metrics) {
        // An HTTP connection's deadline wakes the loop, however long the caller would wait.
        const int due = metrics->TimeoutMs(MetricsServer::Clock::now());
        if (due >= 0 && (timeout_ms < 0 || due < timeout_ms))
            timeout_ms = due;
    }
    const int ready = poll(pfds, n + m + 1, timeout_ms);
    if (ready < 0)
        return true;  // a signal that the wake descriptor will show
    for (std::size_t i = 0; i < n; ++i) {
        if (pfds[i].revents & POLLIN)
            Drain(pfds[i].fd, refresher, allow, limiter);
    }
    // Datagrams first: the HTTP side's work per wake is bounded and comes after them.
    if (metrics)
        metrics->Handle(pfds + n, m, MetricsServer::Clock::now(), allow, render);
    return !(wake >= 0 && (pfds[n + m].revents & POLLIN));
}

void Server::Drain(net::Socket fd, const readings::Refresher& refresher, const AllowList& allow,
                   RateLimiter* limiter) {
    // Kept between calls: with history pages the batch's buffers are too large for the stack.
    if (io_.empty())
        io_.resize(kBatch * (kReceiveSize + kReplyCapacity));
    auto in = reinterpret_cast<std::uint8_t(*)[kReceiveSize]>(io_.data());
    auto out =
        reinterpret_cast<std::uint8_t(*)[kReplyCapacity]>(io_.data() + kBatch * kReceiveSize);
    sockaddr_storage from[kBatch];
    iovec in_iov[kBatch];
    mmsghdr in_msgs[kBatch];
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
        // Polls are answered first and sent at once; history pages of the same batch follow,
        // so that paging never delays a poll's reply.
        for (const bool history_pass : {false, true}) {
            int replies = 0;
            for (int i = 0; i < got; ++i) {
                const msghdr& h = in_msgs[i].msg_hdr;
                if (proto::IsVersion3(in[i], in_msgs[i].msg_len) != history_pass)
                    continue;
                std::size_t size = 0;
                if (Decide(reinterpret_cast<const sockaddr*>(&from[i]), h.msg_namelen, in[i],
                           in_msgs[i].msg_len, (h.msg_flags & MSG_TRUNC) != 0, refresher, allow,
                           limiter, &snapshot, out[replies], &size) != Verdict::kAnswer) {
                    continue;
                }
                out_iov[replies] = iovec{out[replies], size};
                out_msgs[replies] = mmsghdr{};
                out_msgs[replies].msg_hdr.msg_name = &from[i];
                out_msgs[replies].msg_hdr.msg_namelen = h.msg_namelen;
                out_msgs[replies].msg_hdr.msg_iov = &out_iov[replies];
                out_msgs[replies].msg_hdr.msg_iovlen = 1;
                ++replies;
            }
            int sent = 0;
            while (sent < replies) {
                const int r = sendmmsg(fd, out_msgs + sent, static_cast<unsigned>(replies - sent),
                                       MSG_DONTWAIT);
                if (r < 0 && errno == EINTR)
                    continue;
                // A full send buffer or an unreachable peer loses this reply; the client asks
                // again.
                sent += r > 0 ? r : 1;
            }
            counters_.answered += static_cast<std::uint64_t>(replies);
        }
        if (got < kBatch)
            return;
    }
}

}  // namespace vorn::agent
