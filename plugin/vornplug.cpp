// The sensor plug-in: SOCKLIB keeps the socket library started, UDPCSock asks the agent, and
// VORNPLUG ties the two together behind the interface the bar uses.
#include "plugin_api/vornplug.h"

#include <chrono>
#include <cstring>
#include <type_traits>

#include "protocol/host_text.h"
#include "plugin/udp_socket.h"
#include "protocol/sensor_protocol.h"

static_assert(std::is_trivially_copyable<SOCKLIB>::value, "SOCKLIB copies as plain data");
static_assert(std::is_trivially_copyable<UDPCSock>::value, "UDPCSock copies as plain data");
static_assert(std::is_trivially_copy_assignable<VORNPLUG>::value, "VORNPLUG assigns as plain data");
static_assert(sizeof(LMDATA::szText[0]) == vorn::proto::kFieldSize &&
                  LMDATA_FIELDS == vorn::proto::kFieldCount,
              "LMDATA matches the reply's fields");

namespace net = vorn::net;
namespace proto = vorn::proto;

namespace {

// Datagrams read per wake-up before the deadline is looked at again, so a flood cannot hold
// Get past its time-out; and datagrams thrown away before a request at most.
constexpr int kReadBatch = 64;
constexpr int kDrainLimit = 256;

// Version word of a started socket library, as Winsock 2.2 reports it.
constexpr unsigned char kStartedVersion = 2;

// UDPCSock::m_dwState, documented with the class.
constexpr std::uint32_t kOutstanding = 1u << 0;
constexpr int kMaskShift = 1;
constexpr std::uint32_t kMaskField = std::uint32_t{proto::kAlarmMaskBits} << kMaskShift;
constexpr std::uint32_t kVersion1Only = 1u << 14;
constexpr std::uint32_t kOutstandingV2 = 1u << 15;
constexpr std::uint32_t kVersion2Seen = 1u << 24;
constexpr int kPollsShift = 16;
constexpr std::uint32_t kPollsField = 0xFFu << kPollsShift;
static_assert((kOutstanding & kMaskField) == 0 && (kMaskField & kVersion1Only) == 0 &&
                  (kVersion1Only & kPollsField) == 0 && (kMaskField >> 14) == 0 &&
                  (kOutstandingV2 & (kPollsField | kVersion1Only)) == 0 &&
                  (kVersion2Seen & (kPollsField | kOutstandingV2)) == 0,
              "the fields of the state word do not overlap");

// An agent that answered only version 1 is asked in version 2 again on every 60th poll.
constexpr std::uint32_t kRetryVersion2Polls = 60;
static_assert(kRetryVersion2Polls <= (kPollsField >> kPollsShift), "the count fits its field");

// The version 1 fallback goes out when a version 2 request is unanswered after this part of
// the time-out: a version 2 agent on any sane network has answered by then, and the fallback
// still has three quarters of the time-out for itself.
constexpr unsigned int kFallbackDivisor = 4;

}  // namespace

// ---- SOCKLIB ----

SOCKLIB::SOCKLIB() : m_abStartup{}, m_szHost{} {}

int SOCKLIB::Startup() {
    if (IsStarted())
        return 1;
    unsigned char record[sizeof m_abStartup] = {};
    if (!net::StartNetwork(record, sizeof record))
        return 0;
    // Natively no record is filled: the version word alone marks the library started.
    record[0] = kStartedVersion;
    record[1] = kStartedVersion;
    std::memcpy(m_abStartup, record, sizeof record);
    return 1;
}

void SOCKLIB::Cleanup() {
    if (!IsStarted())
        return;
    net::StopNetwork();
    std::memset(m_abStartup, 0, sizeof m_abStartup);
}

int SOCKLIB::IsStarted() const {
    return m_abStartup[0] != 0 || m_abStartup[1] != 0;
}

int SOCKLIB::SetHost(const char* host) {
    m_szHost[0] = '\0';
    if (host == nullptr)
        return 0;
    const std::size_t len = strnlen(host, sizeof m_szHost);
    if (len == sizeof m_szHost)
        return 0;
    std::memcpy(m_szHost, host, len + 1);
    return 1;
}

const char* SOCKLIB::GetHost() const {
    return m_szHost;
}

// ---- UDPCSock ----

UDPCSock::UDPCSock()
    : m_hSocket(net::kNoSocket),
      m_hWake(net::kNoSocket),
      m_abPeer{},
      m_nPeerLen(0),
      m_dwRequestId(0),
      m_dwDropped(0),
      m_nLastError(0),
      m_dwState(0),
      m_bCancelled(0) {}

int UDPCSock::Connect(const char* host) {
    Close();
    vorn::proto::HostSpec spec;
    if (!vorn::proto::ParseHostText(host, &spec))
        return 0;
    net::Address peer{};
    const net::Handle sock = net::OpenConnected(spec.host, spec.port, spec.literal_v6, &peer);
    if (sock == net::kNoSocket)
        return 0;
    const net::Handle wake = net::OpenWakeSocket();
    if (wake == net::kNoSocket) {
        net::Close(sock);
        return 0;
    }
    static_assert(sizeof m_abPeer == sizeof peer.bytes, "peer address room");
    std::memcpy(m_abPeer, peer.bytes, sizeof m_abPeer);
    m_nPeerLen = peer.len;
    m_dwDropped = 0;
    m_nLastError = 0;
    m_dwState = 0;  // a new agent: no request out, no alarms, nothing known of its versions
    m_hSocket = sock;
    // Published last: Cancel on another thread looks for it once it has set its flag.
    __atomic_store_n(&m_hWake, wake, __ATOMIC_SEQ_CST);
    return 1;
}

int UDPCSock::Query(LMDATA& data, unsigned int timeout) {
    if (__atomic_load_n(&m_bCancelled, __ATOMIC_SEQ_CST) || m_nPeerLen == 0)
        return 0;

    // A Query that ended without an answer (time-out or socket error) left its socket behind,
    // and this one opens a new socket to the same address. Late replies then meet a closed
    // port, and a socket that took an ICMP error cannot stay stuck: under Wine such a socket
    // is never again reported readable by a waiting select.
    if (m_hSocket == net::kNoSocket) {
        net::Address peer{};
        std::memcpy(peer.bytes, m_abPeer, sizeof peer.bytes);
        peer.len = m_nPeerLen;
        m_hSocket = net::OpenConnectedTo(peer);
        if (m_hSocket == net::kNoSocket) {
            m_nLastError = net::LastError();
            return 0;
        }
        m_dwState &= ~kOutstanding;
    }
    const auto give_up = [this](int error) {
        m_nLastError = error;
        net::Close(m_hSocket);
        m_hSocket = net::kNoSocket;
        return 0;
    };

    // One byte more than a reply, so that a longer datagram shows as too long.
    unsigned char buf[proto::kDatagramSize + 1];
    std::size_t len = 0;

    // Whatever is queued now answers an earlier request, or is an error (such as an ICMP port
    // unreachable) left by one: neither may spoil this request.
    // A late version 2 reply to the earlier poll shows that the agent speaks version 2 after
    // all, though its version 1 reply came first.
    const bool earlier_v2 = (m_dwState & kOutstanding) && (m_dwState & kOutstandingV2);
    for (int i = 0; i < kDrainLimit; ++i) {
        const net::Received got = net::Receive(m_hSocket, buf, sizeof buf, &len);
        if (got == net::Received::kEmpty)
            break;
        if (got != net::Received::kDatagram)
            continue;
        ++m_dwDropped;
        if (earlier_v2 && proto::DecodeReply(buf, len, m_dwRequestId, proto::kVersion2, nullptr,
                                             nullptr, nullptr))
            m_dwState = (m_dwState & ~(kVersion1Only | kPollsField)) | kVersion2Seen;
    }

    // Fresh ids, never the one an earlier request may still be answered with, nor each other.
    const std::uint32_t earlier = (m_dwState & kOutstanding) ? m_dwRequestId : 0;
    const bool has_earlier = (m_dwState & kOutstanding) != 0;
    const auto fresh_id = [&](std::uint32_t avoid, bool has_avoid, std::uint32_t* out) {
        std::uint32_t id = 0;
        do {
            if (!net::OsRandom(&id, sizeof id))
                return false;
        } while ((has_earlier && id == earlier) || (has_avoid && id == avoid));
        *out = id;
        return true;
    };

    // Which version goes first: 2, unless the agent answered only version 1 so far; then 2
    // again on every kRetryVersion2Polls-th poll. While it is not known that the agent speaks
    // version 2 (the first poll, a retry), the version 1 request goes out at once as well,
    // so the poll is never slower than a version 1 request alone; once it is known, only
    // when the version 2 request is slow.
    std::uint8_t first_version = proto::kVersion2;
    bool fallback_at_once = (m_dwState & kVersion2Seen) == 0;
    if (m_dwState & kVersion1Only) {
        std::uint32_t polls = ((m_dwState & kPollsField) >> kPollsShift) + 1;
        if (polls >= kRetryVersion2Polls)
            polls = 0;
        else
            first_version = proto::kVersion1;
        m_dwState = (m_dwState & ~kPollsField) | (polls << kPollsShift);
        fallback_at_once = true;
    }

    std::uint32_t first_id = 0;
    if (!fresh_id(0, false, &first_id))
        return 0;
    m_dwRequestId = first_id;
    m_dwState = (m_dwState | kOutstanding) & ~kOutstandingV2;
    const proto::Datagram request = proto::EncodeRequest(first_id, first_version);
    // A second try: an ICMP error that arrived after the drain is reported by the first send.
    if (!net::Send(m_hSocket, request.data(), request.size()) &&
        !net::Send(m_hSocket, request.data(), request.size())) {
        return give_up(net::LastError());
    }

    using Clock = net::MonotonicClock;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::milliseconds(timeout);
    // Only a version 2 request has a fallback.
    bool fallback_due = first_version == proto::kVersion2;
    const Clock::time_point fallback_at =
        fallback_at_once ? start : start + std::chrono::milliseconds(timeout / kFallbackDivisor);
    bool fallback_sent = false;
    std::uint32_t fallback_id = 0;

    for (;;) {
        if (__atomic_load_n(&m_bCancelled, __ATOMIC_SEQ_CST))
            return 0;
        if (fallback_due && Clock::now() >= fallback_at) {
            fallback_due = false;
            if (!fresh_id(first_id, true, &fallback_id))
                return give_up(0);
            const proto::Datagram v1 = proto::EncodeRequest(fallback_id, proto::kVersion1);
            if (!net::Send(m_hSocket, v1.data(), v1.size()))
                return give_up(net::LastError());
            fallback_sent = true;
        }
        const Clock::time_point until = fallback_due ? fallback_at : deadline;
        const Clock::duration left = until - Clock::now();
        // Rounded up, so the wait never ends just short of the deadline and spins.
        const auto left_ms = std::chrono::ceil<std::chrono::milliseconds>(
                                 left > Clock::duration::zero() ? left : Clock::duration::zero())
                                 .count();
        const unsigned int wait_ms = static_cast<unsigned int>(left_ms);

        const net::Ready ready = net::WaitReadable(m_hSocket, m_hWake, wait_ms);
        if (ready == net::Ready::kWake)
            return 0;  // only Cancel writes to it
        if (ready == net::Ready::kFailed)
            return give_up(net::LastError());
        if (ready == net::Ready::kSocket) {
            for (int i = 0; i < kReadBatch; ++i) {
                const net::Received got = net::Receive(m_hSocket, buf, sizeof buf, &len);
                if (got == net::Received::kEmpty)
                    break;
                if (got == net::Received::kError)
                    return give_up(net::LastError());
                proto::ReplyStatus status;
                proto::Fields fields;
                std::uint16_t mask = 0;
                bool by_first =
                    proto::DecodeReply(buf, len, first_id, first_version, &status, &fields, &mask);
                if (!by_first &&
                    !(fallback_sent && proto::DecodeReply(buf, len, fallback_id, proto::kVersion1,
                                                          &status, &fields, &mask))) {
                    ++m_dwDropped;
                    continue;
                }
                const std::uint8_t answered = by_first ? first_version : proto::kVersion1;
                // What the agent speaks: a version 2 reply shows it knows version 2; a version 1
                // reply that won over a version 2 request suggests it knows only version 1.
                if (answered == proto::kVersion2)
                    m_dwState = (m_dwState & ~(kVersion1Only | kPollsField)) | kVersion2Seen;
                else if (fallback_sent)
                    m_dwState = (m_dwState | kVersion1Only) & ~kVersion2Seen;
                // The other request of this poll, if any, may still be answered; its id is
                // never taken again by the next Query.
                if (fallback_sent) {
                    m_dwRequestId = by_first ? fallback_id : first_id;
                    if (!by_first)
                        m_dwState |= kOutstandingV2;  // only a first request is version 2
                } else {
                    m_dwState &= ~kOutstanding;
                }
                if (status != proto::ReplyStatus::kReadings)
                    return 0;
                for (int k = 0; k < LMDATA_FIELDS; ++k) {
                    std::memcpy(data.szText[k], fields[k].data(), LMDATA_FIELD_SIZE);
                }
                m_dwState = (m_dwState & ~kMaskField) | (std::uint32_t{mask} << kMaskShift);
                return 1;
            }
        }
        if (wait_ms == 0 && !fallback_due)
            return give_up(0);  // timed out
    }
}

void UDPCSock::Cancel() {
    if (__atomic_exchange_n(&m_bCancelled, 1, __ATOMIC_SEQ_CST) != 0)
        return;
    const net::Handle wake = __atomic_load_n(&m_hWake, __ATOMIC_SEQ_CST);
    if (wake != net::kNoSocket) {
        // The byte stays queued: every later wait on the wake socket ends at once too.
        const unsigned char byte = 1;
        net::Send(wake, &byte, 1);
    }
}

void UDPCSock::Close() {
    net::Close(__atomic_exchange_n(&m_hWake, net::kNoSocket, __ATOMIC_SEQ_CST));
    net::Close(m_hSocket);
    m_hSocket = net::kNoSocket;
    std::memset(m_abPeer, 0, sizeof m_abPeer);
    m_nPeerLen = 0;
    m_dwState = 0;
}

int UDPCSock::IsOpen() const {
    return m_nPeerLen != 0;
}

unsigned int UDPCSock::GetAlarmMask() const {
    return (m_dwState & kMaskField) >> kMaskShift;
}

// ---- VORNPLUG ----

VORNPLUG::VORNPLUG() = default;

VORNPLUG::~VORNPLUG() {
    Destroy();
}

int VORNPLUG::Create(const char* host) {
    Destroy();
    if (!m_lib.Startup())
        return 0;
    if (!m_lib.SetHost(host) || !m_sock.Connect(host)) {
        Destroy();
        return 0;
    }
    return 1;
}

int VORNPLUG::Get(LMDATA& data, unsigned int timeout) {
    return m_sock.Query(data, timeout);
}

void VORNPLUG::Destroy() {
    m_sock.Close();
    m_lib.SetHost("");
    m_lib.Cleanup();
}

void VORNPLUG::Cancel() {
    m_sock.Cancel();
}

unsigned int VORNPLUG::GetAlarmMask() const {
    return m_sock.GetAlarmMask();
}
