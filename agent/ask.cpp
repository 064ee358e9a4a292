#include "agent/ask.h"

#include <cerrno>
#include <cstring>

#include "agent/address.h"
#include "agent/socket.h"
#include "protocol/host_text.h"

#ifdef _WIN32
#include <ntsecapi.h>  // RtlGenRandom

#include <stdexcept>
#else
#include <netdb.h>
#include <random>
#include <sys/select.h>
#include <unistd.h>
#endif

namespace vorn::agent {

namespace {

using Clock = std::chrono::steady_clock;

// As the plug-in waits before its version 1 fallback once it knows the agent.
constexpr int kFallbackDivisor = 4;

// What each reading is, as the bar labels it, and its unit.
struct FieldInfo {
    const char* what;
    const char* unit;
};
constexpr FieldInfo kFieldInfo[proto::kFieldCount] = {
    {"CPU temperature", "C"},
    {"power unit temperature", "C"},
    {"system temperature", "C"},
    {"CPU core voltage", "V"},
    {"VTT voltage", "V"},
    {"+3.3 V rail", "V"},
    {"+5 V rail", "V"},
    {"-5 V rail", "V"},
    {"+12 V rail", "V"},
    {"-12 V rail", "V"},
    {"fan 1", "RPM"},
    {"fan 2", "RPM"},
    {"fan 3", "RPM"},
};

bool LastErrorIsRefused() {
#ifdef _WIN32
    const int e = WSAGetLastError();
    return e == WSAECONNRESET || e == WSAECONNREFUSED;
#else
    return errno == ECONNREFUSED;
#endif
}

bool WouldBlock() {
#ifdef _WIN32
    return WSAGetLastError() == WSAEWOULDBLOCK;
#else
    return errno == EAGAIN || errno == EWOULDBLOCK;
#endif
}

// A fresh, unpredictable id other than `avoid`.
std::uint32_t FreshId(std::uint32_t avoid) {
#ifdef _WIN32
    // The system's generator, which std::random_device also draws from here, without the
    // 2.5 KB fallback engine that it would carry.
    const auto draw = [] {
        std::uint32_t id = 0;
        if (!RtlGenRandom(&id, sizeof id))
            throw std::runtime_error("random_device: RtlGenRandom failed");
        return id;
    };
#else
    static std::random_device device;
    const auto draw = [] { return static_cast<std::uint32_t>(device()); };
#endif
    std::uint32_t id;
    do {
        id = draw();
    } while (id == avoid);
    return id;
}

// The socket connected to the first address of `spec` that takes one.
net::Socket Connect(const proto::HostSpec& spec, AskResult* result) {
    addrinfo hints{};
    hints.ai_family = spec.literal_v6 ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(spec.port);
    if (getaddrinfo(spec.host, port.c_str(), &hints, &found) != 0 || found == nullptr) {
        result->outcome = AskResult::Outcome::kUnresolved;
        result->error = std::string("cannot resolve '") + spec.host + "'";
        return net::kNoSocket;
    }
    net::Socket s = net::kNoSocket;
    for (const addrinfo* a = found; a != nullptr && s == net::kNoSocket; a = a->ai_next) {
        s = net::OpenDatagram(a->ai_family);
        if (s == net::kNoSocket)
            continue;
        if (connect(s, a->ai_addr, static_cast<socklen_t>(a->ai_addrlen)) != 0) {
            result->error = net::LastErrorText();
            net::CloseSocket(s);
            s = net::kNoSocket;
            continue;
        }
        result->peer = FormatEndpoint(a->ai_addr);
    }
    freeaddrinfo(found);
    if (s == net::kNoSocket) {
        result->outcome = AskResult::Outcome::kUnresolved;
        result->error = std::string("no socket to '") + spec.host + "': " + result->error;
    }
    return s;
}

enum class Sent { kOk, kRefused, kFailed };

Sent SendRequest(net::Socket s, std::uint32_t id, std::uint8_t version) {
    const proto::Datagram d = proto::EncodeRequest(id, version);
    if (send(s, reinterpret_cast<const char*>(d.data()), static_cast<int>(d.size()), 0) ==
        static_cast<int>(d.size()))
        return Sent::kOk;
    return LastErrorIsRefused() ? Sent::kRefused : Sent::kFailed;
}

// Waits up to `ms` for `s` to be readable; false when the time ran out.
bool WaitReadable(net::Socket s, long ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return select(static_cast<int>(s) + 1, &readable, nullptr, nullptr, &tv) > 0;
}

// Send the version 2 request; wait; send the version 1 request a quarter into the time-out;
// take the first valid reply to either, or report the refusal or the time-out.
void Exchange(net::Socket s, int timeout_ms, AskResult* result) {
    const std::uint32_t v2_id = FreshId(0);
    std::uint32_t v1_id = 0;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::milliseconds(timeout_ms);
    const Clock::time_point fallback_at =
        start + std::chrono::milliseconds(timeout_ms / kFallbackDivisor);
    bool fallback_sent = false;
    const auto sent = [result](Sent how) {
        if (how == Sent::kOk)
            return true;
        result->outcome =
            how == Sent::kRefused ? AskResult::Outcome::kRefused : AskResult::Outcome::kFailed;
        result->error = net::LastErrorText();
        return false;
    };
    if (!sent(SendRequest(s, v2_id, proto::kVersion2)))
        return;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (!fallback_sent && now >= fallback_at) {
            v1_id = FreshId(v2_id);
            if (!sent(SendRequest(s, v1_id, proto::kVersion1)))
                return;
            fallback_sent = true;
        }
        const Clock::time_point until = fallback_sent ? deadline : fallback_at;
        if (now >= deadline) {
            result->outcome = AskResult::Outcome::kTimeout;
            return;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
        if (!WaitReadable(s, static_cast<long>(left)))
            continue;
        // One byte more than a reply, so that a longer datagram shows as too long.
        std::uint8_t buf[proto::kDatagramSize + 1];
        for (;;) {
            const auto got = recv(s, reinterpret_cast<char*>(buf), sizeof buf, 0);
            if (got < 0) {
                if (WouldBlock())
                    break;
                if (LastErrorIsRefused()) {
                    result->outcome = AskResult::Outcome::kRefused;
                    result->error = net::LastErrorText();
                } else {
                    result->outcome = AskResult::Outcome::kFailed;
                    result->error = net::LastErrorText();
                }
                return;
            }
            const std::size_t len = static_cast<std::size_t>(got);
            proto::ReplyStatus status;
            std::uint8_t version = proto::kVersion2;
            bool ok = proto::DecodeReply(buf, len, v2_id, proto::kVersion2, &status,
                                         &result->fields, &result->alarm_mask);
            if (!ok && fallback_sent) {
                version = proto::kVersion1;
                ok = proto::DecodeReply(buf, len, v1_id, proto::kVersion1, &status, &result->fields,
                                        &result->alarm_mask);
            }
            if (!ok)
                continue;  // not an answer to these requests: keep waiting, as the plug-in does
            result->round_trip =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
            result->version = version;
            result->outcome = status == proto::ReplyStatus::kReadings
                                  ? AskResult::Outcome::kReadings
                                  : AskResult::Outcome::kNoSensors;
            return;
        }
    }
}

std::string Milliseconds(std::chrono::microseconds us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f ms", static_cast<double>(us.count()) / 1000.0);
    return text;
}

}  // namespace

AskResult AskAgent(const std::string& host_text, int timeout_ms) {
    AskResult result;
    proto::HostSpec spec;
    if (!proto::ParseHostText(host_text.c_str(), &spec)) {
        result.outcome = AskResult::Outcome::kBadHost;
        return result;
    }
    std::string why;
    if (!net::StartSockets(&why)) {
        result.error = why;
        return result;
    }
    const net::Socket s = Connect(spec, &result);
    if (s == net::kNoSocket)
        return result;
    Exchange(s, timeout_ms, &result);
    net::CloseSocket(s);
    return result;
}

int PrintAskResult(const std::string& host_text, const AskResult& r, std::FILE* out,
                   std::FILE* err) {
    const std::string who = "the agent at " + host_text +
                            (r.peer.empty() || r.peer == host_text ? "" : " (" + r.peer + ")");
    using Outcome = AskResult::Outcome;
    switch (r.outcome) {
        case Outcome::kReadings:
            break;
        case Outcome::kNoSensors:
            std::fprintf(err,
                         "vornagent: %s answered in %s with status 1, \"the agent has no "
                         "sensors\": it could read none of its sensors (its log says why; "
                         "vornagent --list on that host shows what it can read). The bar shows "
                         "ERROR in every slot.\n",
                         who.c_str(), Milliseconds(r.round_trip).c_str());
            return 1;
        case Outcome::kTimeout:
            std::fprintf(err,
                         "vornagent: no answer from %s within %d ms (time-out): no agent runs "
                         "there, a firewall drops UDP to that port, or the agent's allow list "
                         "does not admit this address.\n",
                         who.c_str(), kAskTimeoutMs);
            return 1;
        case Outcome::kRefused:
            std::fprintf(err,
                         "vornagent: %s refused the request (connection refused): nothing "
                         "listens on that UDP port.\n",
                         who.c_str());
            return 1;
        case Outcome::kBadHost:
            std::fprintf(err,
                         "vornagent: --ask '%s' is not HOST, HOST:PORT, [IPV6] or "
                         "[IPV6]:PORT\n",
                         host_text.c_str());
            return 2;
        case Outcome::kUnresolved:
        case Outcome::kFailed:
            std::fprintf(err, "vornagent: cannot ask %s: %s\n", host_text.c_str(), r.error.c_str());
            return 1;
    }
    std::fprintf(out, "%s answered in %s (protocol version %d)\n", who.c_str(),
                 Milliseconds(r.round_trip).c_str(), r.version);
    bool any_unread = false;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        const std::string text = r.fields[k].data();
        const bool alarm = (r.alarm_mask >> k) & 1u;
        const bool unread = text == "-";
        any_unread = any_unread || unread;
        char line[96];
        std::snprintf(line, sizeof line, "  %-5s %-23s %8s %-3s%s", proto::kFieldNames[k],
                      kFieldInfo[k].what, text.c_str(), unread ? "" : kFieldInfo[k].unit,
                      alarm ? "  ALARM" : "");
        std::string shown = line;
        shown.erase(shown.find_last_not_of(' ') + 1);
        std::fprintf(out, "%s\n", shown.c_str());
    }
    char mask[8];
    std::snprintf(mask, sizeof mask, "0x%04X", r.alarm_mask);
    std::string past;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if ((r.alarm_mask >> k) & 1u)
            past += std::string(" ") + proto::kFieldNames[k];
    }
    if (r.version == proto::kVersion1)
        std::fprintf(out, "alarm mask: none (the agent answered in version 1, which has none)\n");
    else
        std::fprintf(out, "alarm mask %s:%s\n", mask,
                     past.empty() ? " no reading past a limit" : past.c_str());
    if (any_unread) {
        std::fprintf(out,
                     "'-': not mapped, or not read this time; vornagent --list on that host "
                     "shows its inputs\n");
    }
    return 0;
}

}  // namespace vorn::agent
