// The sensor plug-in: SOCKLIB keeps the socket library started, UDPCSock asks the agent, and
// VORNPLUG ties the two together behind the interface the bar uses.
#include "plugin_api/vornplug.h"

#include <chrono>
#include <cstring>
#include <type_traits>

#include "plugin/host_text.h"
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
      m_bOutstanding(0),
      m_bCancelled(0) {}

int UDPCSock::Connect(const char* host) {
    Close();
    vorn::plugin::HostSpec spec;
    if (!vorn::plugin::ParseHostText(host, &spec))
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
    m_bOutstanding = 0;
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
        m_bOutstanding = 0;
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
    for (int i = 0; i < kDrainLimit; ++i) {
        const net::Received got = net::Receive(m_hSocket, buf, sizeof buf, &len);
        if (got == net::Received::kEmpty)
            break;
        if (got == net::Received::kDatagram)
            ++m_dwDropped;
    }

    std::uint32_t id = 0;
    do {
        if (!net::OsRandom(&id, sizeof id))
            return 0;
    } while (m_bOutstanding && id == m_dwRequestId);
    m_dwRequestId = id;
    m_bOutstanding = 1;
    const proto::Datagram request = proto::EncodeRequest(id);
    // A second try: an ICMP error that arrived after the drain is reported by the first send.
    if (!net::Send(m_hSocket, request.data(), request.size()) &&
        !net::Send(m_hSocket, request.data(), request.size())) {
        return give_up(net::LastError());
    }

    using Clock = net::MonotonicClock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
    for (;;) {
        if (__atomic_load_n(&m_bCancelled, __ATOMIC_SEQ_CST))
            return 0;
        const Clock::duration left = deadline - Clock::now();
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
                if (!proto::DecodeReply(buf, len, id, &status, &fields)) {
                    ++m_dwDropped;
                    continue;
                }
                m_bOutstanding = 0;
                if (status != proto::ReplyStatus::kReadings)
                    return 0;
                for (int k = 0; k < LMDATA_FIELDS; ++k) {
                    std::memcpy(data.szText[k], fields[k].data(), LMDATA_FIELD_SIZE);
                }
                return 1;
            }
        }
        if (wait_ms == 0)
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
    m_bOutstanding = 0;
}

int UDPCSock::IsOpen() const {
    return m_nPeerLen != 0;
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
