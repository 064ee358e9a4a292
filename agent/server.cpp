#include "agent/server.h"

#include <chrono>
#include <cstring>

#include "agent/history_pages.h"
#include "protocol/history_protocol.h"

namespace vorn::agent {

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
        const bool ok = fd != net::kNoSocket && BindListed(fd, ep, endpoints) && Watch(fd);
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
                               std::uint8_t* reply, std::size_t* reply_size) {
    if (from_len <= 0 || static_cast<std::size_t>(from_len) > sizeof(sockaddr_storage) ||
        !allow.Admits(from)) {
        ++counters_.refused;
        return Verdict::kDrop;
    }
    if (history_ && !truncated && proto::IsVersion3(data, size))
        return DecideHistory(from, data, size, refresher, reply, reply_size);
    std::uint32_t id = 0;
    std::uint8_t version = 0;
    if (truncated || !proto::DecodeRequest(data, size, &id, &version)) {
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
    // The reply speaks the request's version; version 1 carries no mask.
    const proto::Datagram d = proto::EncodeReply(id, version, (*snapshot)->status,
                                                 (*snapshot)->fields, (*snapshot)->alarm_mask);
    std::memcpy(reply, d.data(), d.size());
    *reply_size = d.size();
    return Verdict::kAnswer;
}

Server::Verdict Server::DecideHistory(const sockaddr* from, const std::uint8_t* data,
                                      std::size_t size, const readings::Refresher& refresher,
                                      std::uint8_t* reply, std::size_t* reply_size) {
    const std::int64_t unix_now = std::chrono::duration_cast<std::chrono::seconds>(
                                      std::chrono::system_clock::now().time_since_epoch())
                                      .count();
    switch (history_->Answer(from, data, size, unix_now, HistoryBudget::Clock::now(),
                             *refresher.Latest(), reply, reply_size)) {
        case HistoryPages::Outcome::kPage:
            ++counters_.history_pages;
            return Verdict::kAnswer;
        case HistoryPages::Outcome::kRefusal:
            ++counters_.history_refusals;
            return Verdict::kAnswer;
        case HistoryPages::Outcome::kMalformed:
            ++counters_.malformed;
            return Verdict::kDrop;
        case HistoryPages::Outcome::kOverBudget:
            ++counters_.history_limited;
            return Verdict::kDrop;
    }
    return Verdict::kDrop;
}

}  // namespace vorn::agent
