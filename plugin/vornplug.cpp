// The sensor plug-in: SOCKLIB keeps the socket library started, UDPCSock asks the agent, and
// VORNPLUG ties the two together behind the interface the bar uses.
#include "plugin_api/vornplug.h"

#include <chrono>
#include <cstring>
#include <type_traits>

#include "plugin/history_query.h"
#include "plugin/udp_socket.h"
#include "protocol/host_text.h"
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

// The state word decoded: what Query remembers of the agent and of its own last request.
struct AgentState {
    bool outstanding;              // the request m_dwRequestId names may still be answered
    bool outstanding_v2;           // ... and it is a version 2 request
    std::uint16_t alarm_mask;      // of the last successful Query
    bool version1_only;            // the agent answered only version 1 so far
    std::uint32_t version1_polls;  // polls asked in version 1 alone since version 2 was tried
    bool version2_seen;            // the agent has answered in version 2 since Connect
    std::uint32_t other_bits;      // bits no field names, kept as they were
};

constexpr std::uint32_t kNamedBits =
    kOutstanding | kMaskField | kVersion1Only | kOutstandingV2 | kPollsField | kVersion2Seen;

constexpr AgentState DecodeState(std::uint32_t word) {
    return AgentState{(word & kOutstanding) != 0,
                      (word & kOutstandingV2) != 0,
                      static_cast<std::uint16_t>((word & kMaskField) >> kMaskShift),
                      (word & kVersion1Only) != 0,
                      (word & kPollsField) >> kPollsShift,
                      (word & kVersion2Seen) != 0,
                      word & ~kNamedBits};
}

constexpr std::uint32_t EncodeState(const AgentState& s) {
    return (s.outstanding ? kOutstanding : 0) | (s.outstanding_v2 ? kOutstandingV2 : 0) |
           ((std::uint32_t{s.alarm_mask} << kMaskShift) & kMaskField) |
           (s.version1_only ? kVersion1Only : 0) |
           ((s.version1_polls << kPollsShift) & kPollsField) |
           (s.version2_seen ? kVersion2Seen : 0) | s.other_bits;
}

static_assert(EncodeState(DecodeState(0)) == 0 &&
                  EncodeState(DecodeState(0xFFFFFFFFu)) == 0xFFFFFFFFu &&
                  EncodeState(DecodeState(0x0135C00Bu)) == 0x0135C00Bu,
              "decoding and encoding the state word give it back bit for bit");

// The members of UDPCSock that one Query works on, lent to it by Query.
struct QueryLink {
    net::Handle& socket;
    const net::Handle& wake;
    const unsigned char* peer;  // net::Address::bytes of the agent
    std::uint32_t peer_len;
    std::uint32_t& request_id;
    std::uint32_t& dropped;
    int& last_error;
    int& cancelled;  // only touched with atomic builtins
};

// The steps of one Query. Each does one thing and names the step that follows:
//   kReopen     opens the socket again if the last failed Query dropped it
//   kDrain      throws away what was queued before this Query's request
//   kSendFirst  sends the first request, in the version the agent is thought to speak
//   kCheck      the top of each round: a cancel ends the Query; the fallback may be due
//   kFallBack   sends the version 1 request beside an unanswered version 2 one
//   kWait       waits for a datagram, a cancel, the fallback's time or the deadline
//   kTakeReply  reads what arrived; a valid reply ends the Query
//   kGiveUp     drops the socket and fails the Query (a time-out or a socket error)
//   kDone       the result is set
enum class Step {
    kReopen,
    kDrain,
    kSendFirst,
    kCheck,
    kFallBack,
    kWait,
    kTakeReply,
    kGiveUp,
    kDone
};

class QueryMachine {
public:
    QueryMachine(const QueryLink& link, AgentState& agent, LMDATA& data, unsigned int timeout)
        : link_(link), agent_(agent), data_(data), timeout_(timeout) {}

    // Runs the steps from kReopen to kDone; the Query's result.
    int Run() {
        Step step = Step::kReopen;
        while (step != Step::kDone)
            step = Do(step);
        return result_;
    }

private:
    using Clock = net::MonotonicClock;

    Step Do(Step step) {
        switch (step) {
            case Step::kReopen:
                return Reopen();
            case Step::kDrain:
                return Drain();
            case Step::kSendFirst:
                return SendFirst();
            case Step::kCheck:
                return Check();
            case Step::kFallBack:
                return FallBack();
            case Step::kWait:
                return Wait();
            case Step::kTakeReply:
                return TakeReply();
            case Step::kGiveUp:
                return GiveUp();
            case Step::kDone:
                break;
        }
        return Step::kDone;
    }

    Step Reopen() {
        // A Query that ended without an answer (time-out or socket error) left its socket
        // behind, and this one opens a new socket to the same address. Late replies then meet
        // a closed port, and a socket that took an ICMP error cannot stay stuck: under Wine
        // such a socket is never again reported readable by a waiting select.
        if (link_.socket != net::kNoSocket)
            return Step::kDrain;
        net::Address peer{};
        std::memcpy(peer.bytes, link_.peer, sizeof peer.bytes);
        peer.len = link_.peer_len;
        link_.socket = net::OpenConnectedTo(peer);
        if (link_.socket == net::kNoSocket) {
            link_.last_error = net::LastError();
            return Finish(0);
        }
        agent_.outstanding = false;
        return Step::kDrain;
    }

    Step Drain() {
        // Whatever is queued now answers an earlier request, or is an error (such as an ICMP
        // port unreachable) left by one: neither may spoil this request. A late version 2
        // reply to the earlier poll shows that the agent speaks version 2 after all, though
        // its version 1 reply came first.
        const bool earlier_v2 = agent_.outstanding && agent_.outstanding_v2;
        for (int i = 0; i < kDrainLimit; ++i) {
            const net::Received got = net::Receive(link_.socket, buf_, sizeof buf_, &len_);
            if (got == net::Received::kEmpty)
                break;
            if (got != net::Received::kDatagram)
                continue;
            ++link_.dropped;
            if (earlier_v2 && proto::DecodeReply(buf_, len_, link_.request_id, proto::kVersion2,
                                                 nullptr, nullptr, nullptr))
                NoteVersion2Answer();
        }
        return Step::kSendFirst;
    }

    Step SendFirst() {
        // Fresh ids, never the one an earlier request may still be answered with.
        has_earlier_ = agent_.outstanding;
        earlier_id_ = has_earlier_ ? link_.request_id : 0;
        const bool fallback_at_once = ChooseFirstVersion();
        if (!FreshId(0, false, &first_id_))
            return Finish(0);
        link_.request_id = first_id_;
        agent_.outstanding = true;
        agent_.outstanding_v2 = false;
        const proto::Datagram request = proto::EncodeRequest(first_id_, first_version_);
        // A second try: an ICMP error that arrived after the drain is reported by the first send.
        if (!net::Send(link_.socket, request.data(), request.size()) &&
            !net::Send(link_.socket, request.data(), request.size()))
            return Fail(net::LastError());

        const Clock::time_point start = Clock::now();
        deadline_ = start + std::chrono::milliseconds(timeout_);
        // Only a version 2 request has a fallback.
        fallback_due_ = first_version_ == proto::kVersion2;
        fallback_at_ = fallback_at_once
                           ? start
                           : start + std::chrono::milliseconds(timeout_ / kFallbackDivisor);
        return Step::kCheck;
    }

    // Which version goes first: 2, unless the agent answered only version 1 so far; then 2
    // again on every kRetryVersion2Polls-th poll. While it is not known that the agent speaks
    // version 2 (the first poll, a retry), the version 1 request goes out at once as well,
    // so the poll is never slower than a version 1 request alone; once it is known, only
    // when the version 2 request is slow. True when the fallback goes out at once.
    bool ChooseFirstVersion() {
        first_version_ = proto::kVersion2;
        if (!agent_.version1_only)
            return !agent_.version2_seen;
        std::uint32_t polls = agent_.version1_polls + 1;
        if (polls >= kRetryVersion2Polls)
            polls = 0;
        else
            first_version_ = proto::kVersion1;
        agent_.version1_polls = polls;
        return true;
    }

    Step Check() {
        if (__atomic_load_n(&link_.cancelled, __ATOMIC_SEQ_CST))
            return Finish(0);
        if (fallback_due_ && Clock::now() >= fallback_at_)
            return Step::kFallBack;
        return Step::kWait;
    }

    Step FallBack() {
        fallback_due_ = false;
        if (!FreshId(first_id_, true, &fallback_id_))
            return Fail(0);
        const proto::Datagram v1 = proto::EncodeRequest(fallback_id_, proto::kVersion1);
        if (!net::Send(link_.socket, v1.data(), v1.size()))
            return Fail(net::LastError());
        fallback_sent_ = true;
        return Step::kWait;
    }

    Step Wait() {
        const Clock::time_point until = fallback_due_ ? fallback_at_ : deadline_;
        const Clock::duration left = until - Clock::now();
        // Rounded up, so the wait never ends just short of the deadline and spins.
        const auto left_ms = std::chrono::ceil<std::chrono::milliseconds>(
                                 left > Clock::duration::zero() ? left : Clock::duration::zero())
                                 .count();
        wait_ms_ = static_cast<unsigned int>(left_ms);
        const net::Ready ready = net::WaitReadable(link_.socket, link_.wake, wait_ms_);
        if (ready == net::Ready::kWake)
            return Finish(0);  // only Cancel writes to it
        if (ready == net::Ready::kFailed)
            return Fail(net::LastError());
        if (ready == net::Ready::kSocket)
            return Step::kTakeReply;
        return EndOfRound();
    }

    Step TakeReply() {
        for (int i = 0; i < kReadBatch; ++i) {
            const net::Received got = net::Receive(link_.socket, buf_, sizeof buf_, &len_);
            if (got == net::Received::kEmpty)
                break;
            if (got == net::Received::kError)
                return Fail(net::LastError());
            proto::ReplyStatus status;
            proto::Fields fields;
            std::uint16_t mask = 0;
            const bool by_first =
                proto::DecodeReply(buf_, len_, first_id_, first_version_, &status, &fields, &mask);
            if (!by_first &&
                !(fallback_sent_ && proto::DecodeReply(buf_, len_, fallback_id_, proto::kVersion1,
                                                       &status, &fields, &mask))) {
                ++link_.dropped;
                continue;
            }
            return Finish(Accept(by_first, status, fields, mask));
        }
        return EndOfRound();
    }

    // Takes a valid reply to the first request (by_first) or to the fallback; the result.
    int Accept(bool by_first, proto::ReplyStatus status, const proto::Fields& fields,
               std::uint16_t mask) {
        const std::uint8_t answered = by_first ? first_version_ : proto::kVersion1;
        // What the agent speaks: a version 2 reply shows it knows version 2; a version 1
        // reply that won over a version 2 request suggests it knows only version 1.
        if (answered == proto::kVersion2) {
            NoteVersion2Answer();
        } else if (fallback_sent_) {
            agent_.version1_only = true;
            agent_.version2_seen = false;
        }
        // The other request of this poll, if any, may still be answered; its id is never
        // taken again by the next Query.
        if (fallback_sent_) {
            link_.request_id = by_first ? fallback_id_ : first_id_;
            if (!by_first)
                agent_.outstanding_v2 = true;  // only a first request is version 2
        } else {
            agent_.outstanding = false;
        }
        if (status != proto::ReplyStatus::kReadings)
            return 0;
        for (int k = 0; k < LMDATA_FIELDS; ++k)
            std::memcpy(data_.szText[k], fields[k].data(), LMDATA_FIELD_SIZE);
        agent_.alarm_mask = mask;
        return 1;
    }

    Step GiveUp() {
        link_.last_error = error_;
        net::Close(link_.socket);
        link_.socket = net::kNoSocket;
        return Finish(0);
    }

    // After a wait or a read that ended the round without a reply: the deadline has passed
    // once a wait of 0 ms found nothing and no fallback is still to go out.
    Step EndOfRound() { return wait_ms_ == 0 && !fallback_due_ ? Fail(0) : Step::kCheck; }

    Step Fail(int error) {
        error_ = error;
        return Step::kGiveUp;
    }

    Step Finish(int result) {
        result_ = result;
        return Step::kDone;
    }

    // The agent answered in version 2: it is asked in version 2 from now on.
    void NoteVersion2Answer() {
        agent_.version1_only = false;
        agent_.version1_polls = 0;
        agent_.version2_seen = true;
    }

    // A random id that is neither the earlier request's nor (has_avoid) avoid.
    bool FreshId(std::uint32_t avoid, bool has_avoid, std::uint32_t* out) const {
        std::uint32_t id = 0;
        do {
            if (!net::OsRandom(&id, sizeof id))
                return false;
        } while ((has_earlier_ && id == earlier_id_) || (has_avoid && id == avoid));
        *out = id;
        return true;
    }

    const QueryLink link_;
    AgentState& agent_;
    LMDATA& data_;
    const unsigned int timeout_;

    // One byte more than a reply, so that a longer datagram shows as too long.
    unsigned char buf_[proto::kDatagramSize + 1] = {};
    std::size_t len_ = 0;
    bool has_earlier_ = false;
    std::uint32_t earlier_id_ = 0;
    std::uint32_t first_id_ = 0;
    std::uint8_t first_version_ = proto::kVersion2;
    Clock::time_point deadline_;
    bool fallback_due_ = false;
    Clock::time_point fallback_at_;
    bool fallback_sent_ = false;
    std::uint32_t fallback_id_ = 0;
    unsigned int wait_ms_ = 0;
    int error_ = 0;
    int result_ = 0;
};

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
    // The state word is decoded for the steps and written back once they are done: nothing
    // else reads it while a Query runs (GetAlarmMask belongs to the same thread).
    AgentState agent = DecodeState(m_dwState);
    const QueryLink link{m_hSocket,     m_hWake,     m_abPeer,     m_nPeerLen,
                         m_dwRequestId, m_dwDropped, m_nLastError, m_bCancelled};
    const int result = QueryMachine(link, agent, data, timeout).Run();
    m_dwState = EncodeState(agent);
    return result;
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
    return DecodeState(m_dwState).alarm_mask;
}

int UDPCSock::QueryHistory(int reading, int resolution, long long from, long long to,
                           VORNHISTORY& info, VORNHISTSLOT* slots, unsigned int capacity,
                           unsigned int timeout) const {
    // Only what Connect set and Close clears is read: the agent's address and the wake-up
    // socket. The read opens a socket of its own, so the poll's socket and request id stay
    // the monitor thread's.
    net::Address peer{};
    std::memcpy(peer.bytes, m_abPeer, sizeof peer.bytes);
    peer.len = m_nPeerLen;
    const vorn::plugin::HistoryAsk ask{reading, resolution, from, to, timeout};
    return vorn::plugin::ReadHistory(peer, __atomic_load_n(&m_hWake, __ATOMIC_SEQ_CST),
                                     &m_bCancelled, ask, info, slots, capacity);
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

int VORNPLUG::GetHistory(int reading, int resolution, long long from, long long to,
                         VORNHISTORY& info, VORNHISTSLOT* slots, unsigned int capacity,
                         unsigned int timeout) const {
    return m_sock.QueryHistory(reading, resolution, from, to, info, slots, capacity, timeout);
}
