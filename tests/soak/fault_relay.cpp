// fault_relay: a UDP relay on 127.0.0.1 between the bar's plug-in and a vornagent, injecting
// faults by a seeded schedule. It decides per request what the bar gets, so it knows exactly
// which polls had no valid reply in time; the soak compares that with the bar's ErrorCounter.
//
//   fault_relay --agent PORT [--seed N] [--warmup N] [--polls N] [--timeout-ms MS]
//               [--log FILE] [--status FILE]
//
// The first --warmup requests and every request after --warmup + --polls pass untouched; the
// --polls in between follow the schedule. The start line on stderr names the bound port; the
// status file holds the request count and the phase; SIGTERM ends it with the figures on stdout.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "protocol/sensor_protocol.h"

namespace proto = vorn::proto;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

enum Action {
    kPass,
    kDropRequest,
    kDropReply,
    kDelayPast,
    kDelayInTime,
    kLatePrevious,
    kDuplicate,
    kGarbageThenReply,
    kGarbageOnly,
    kActionCount
};

const char* const kActionNames[kActionCount] = {
    "pass",          "drop-request", "drop-reply",         "delay-past-timeout", "delay-in-time",
    "late-previous", "duplicate",    "garbage-then-reply", "garbage-only"};

// Whether the bar gets a valid reply within its time-out under each action.
bool AnswersInTime(Action a) {
    return a == kPass || a == kDelayInTime || a == kLatePrevious || a == kDuplicate ||
           a == kGarbageThenReply;
}

struct Options {
    int agent_port = 0;
    unsigned seed = 1;
    int warmup = 20;
    int polls = 300;
    int timeout_ms = 250;
    std::string log_path;
    std::string status_path;
};

struct Pending {
    Clock::time_point due;
    sockaddr_in to;
    std::vector<std::uint8_t> bytes;
    Clock::time_point asked;  // when the request came, for a reply meant to be in time
    bool in_time;
};

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const char* v = argv[i + 1];
        if (k == "--agent")
            o->agent_port = std::atoi(v);
        else if (k == "--seed")
            o->seed = static_cast<unsigned>(std::strtoul(v, nullptr, 10));
        else if (k == "--warmup")
            o->warmup = std::atoi(v);
        else if (k == "--polls")
            o->polls = std::atoi(v);
        else if (k == "--timeout-ms")
            o->timeout_ms = std::atoi(v);
        else if (k == "--log")
            o->log_path = v;
        else if (k == "--status")
            o->status_path = v;
        else
            return false;
    }
    return argc % 2 == 1 && o->agent_port > 0 && o->agent_port < 65536 && o->polls >= 0 &&
           o->warmup >= 0 && o->timeout_ms > 0;
}

sockaddr_in LoopbackPort(int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

class Relay {
public:
    explicit Relay(const Options& o) : o_(o), rng_(o.seed) {}

    bool Open() {
        client_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        agent_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in any = LoopbackPort(0);
        const sockaddr_in agent = LoopbackPort(o_.agent_port);
        if (client_ < 0 || agent_ < 0 ||
            bind(client_, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 ||
            connect(agent_, reinterpret_cast<const sockaddr*>(&agent), sizeof agent) != 0) {
            std::perror("fault_relay: socket");
            return false;
        }
        sockaddr_in bound{};
        socklen_t len = sizeof bound;
        getsockname(client_, reinterpret_cast<sockaddr*>(&bound), &len);
        std::fprintf(stderr, "fault_relay listening on 127.0.0.1:%d; agent 127.0.0.1:%d; seed %u\n",
                     ntohs(bound.sin_port), o_.agent_port, o_.seed);
        if (!o_.log_path.empty())
            log_ = std::fopen(o_.log_path.c_str(), "w");
        WriteStatus();
        return true;
    }

    void Run() {
        while (!g_stop) {
            int wait_ms = 200;
            const Clock::time_point now = Clock::now();
            for (const Pending& p : pending_) {
                const auto left = std::chrono::ceil<milliseconds>(p.due - now).count();
                if (left < wait_ms)
                    wait_ms = left < 0 ? 0 : static_cast<int>(left);
            }
            pollfd pfd{client_, POLLIN, 0};
            const int ready = poll(&pfd, 1, wait_ms);
            SendDue();
            if (ready > 0 && (pfd.revents & POLLIN))
                OnRequest();
        }
    }

    void PrintFigures() const {
        int injected = 0;
        for (int a = 1; a < kActionCount; ++a)
            injected += counts_[a];
        std::printf("polls_made %d\n", requests_);
        std::printf("scheduled_polls %d\n", scheduled_);
        std::printf("faults_injected %d\n", injected);
        for (int a = 0; a < kActionCount; ++a)
            std::printf("action %s %d\n", kActionNames[a], counts_[a]);
        std::printf("agent_silent %d\n", agent_silent_);
        std::printf("forged_late_replies %d\n", forged_);
        std::printf("garbage_datagrams %d\n", garbage_);
        std::printf("expected_failures %d\n", expected_failures_);
        // A reply counted as in time must reach the bar well inside its time-out; a figure near
        // the time-out means the machine stalled and the count above may not hold.
        std::printf("slowest_in_time_reply_ms %lld\n",
                    static_cast<long long>(
                        std::chrono::duration_cast<milliseconds>(slowest_in_time_).count()));
        std::fflush(stdout);
        if (log_)
            std::fflush(log_);
    }

private:
    const char* Phase() const {
        if (requests_ < o_.warmup)
            return "warmup";
        return requests_ < o_.warmup + o_.polls ? "faults" : "after";
    }

    void WriteStatus() const {
        if (o_.status_path.empty())
            return;
        const std::string tmp = o_.status_path + ".tmp";
        if (std::FILE* f = std::fopen(tmp.c_str(), "w")) {
            std::fprintf(f, "requests %d\nphase %s\nexpected_failures %d\n", requests_, Phase(),
                         expected_failures_);
            std::fclose(f);
            std::rename(tmp.c_str(), o_.status_path.c_str());
        }
    }

    Action Draw() {
        // Pass about half the time; the faults share the other half evenly.
        std::uniform_int_distribution<int> d(0, 2 * (kActionCount - 1) - 1);
        const int r = d(rng_);
        return r < kActionCount - 1 ? kPass : static_cast<Action>(r - (kActionCount - 1) + 1);
    }

    void NoteInTimeReply(Clock::time_point asked) {
        const Clock::duration took = Clock::now() - asked;
        if (took > slowest_in_time_)
            slowest_in_time_ = took;
    }

    void SendTo(const sockaddr_in& to, const std::uint8_t* data, std::size_t len) {
        sendto(client_, data, len, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

    void SendDue() {
        const Clock::time_point now = Clock::now();
        for (std::size_t i = 0; i < pending_.size();) {
            if (pending_[i].due <= now) {
                SendTo(pending_[i].to, pending_[i].bytes.data(), pending_[i].bytes.size());
                if (pending_[i].in_time)
                    NoteInTimeReply(pending_[i].asked);
                pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
    }

    // The agent's reply to `request`, or an empty vector when it sent none within a second.
    std::vector<std::uint8_t> AskAgent(const std::uint8_t* request, std::size_t len,
                                       std::uint32_t id, std::uint8_t version) {
        send(agent_, request, len, 0);
        const Clock::time_point deadline = Clock::now() + milliseconds(1000);
        std::uint8_t buf[proto::kDatagramSize + 1];
        for (;;) {
            const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return {};
            pollfd pfd{agent_, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left)) <= 0)
                continue;
            const ssize_t got = recv(agent_, buf, sizeof buf, 0);
            proto::ReplyStatus status;
            proto::Fields fields;
            if (got > 0 && proto::DecodeReply(buf, static_cast<std::size_t>(got), id, version,
                                              &status, &fields, nullptr)) {
                return std::vector<std::uint8_t>(buf, buf + got);
            }
        }
    }

    // Datagrams the plug-in must drop: random bytes of random length, or a reply to this very
    // request broken in one place that makes it invalid.
    void SendGarbage(const sockaddr_in& to, const std::vector<std::uint8_t>& reply) {
        std::uniform_int_distribution<int> count(1, 4);
        const int n = count(rng_);
        for (int i = 0; i < n; ++i) {
            std::vector<std::uint8_t> g;
            if (i % 2 == 0) {
                std::uniform_int_distribution<int> len(0, 300);
                std::uniform_int_distribution<int> byte(0, 255);
                g.resize(static_cast<std::size_t>(len(rng_)));
                for (auto& b : g)
                    b = static_cast<std::uint8_t>(byte(rng_));
            } else {
                g = reply;
                std::uniform_int_distribution<int> how(0, 4);
                switch (how(rng_)) {
                    case 0:
                        g[1] ^= 0x20;
                        break;  // magic
                    case 1:     // the other version: a version 1 reply to a version 2 request
                        g[4] = g[4] == proto::kVersion2 ? proto::kVersion1 : proto::kVersion2;
                        break;
                    case 2:
                        g[5] = 7;
                        break;  // status
                    case 3:
                        g[120] = 1;
                        break;  // reserved tail
                    default:
                        g[12] = 0x07;
                        break;  // a control character in the CPU field
                }
            }
            SendTo(to, g.data(), g.size());
            ++garbage_;
        }
    }

    // A reply to the previous request, sent before the real one: status 1 every other time
    // (taken, it would count as a failure), otherwise readings of -88.8 everywhere (taken,
    // the bar would show them).
    void SendForgedLate(const sockaddr_in& to) {
        proto::Fields fields{};
        const bool no_sensors = forged_ % 2 == 0;
        if (!no_sensors) {
            for (auto& f : fields)
                f = proto::MakeField("-88.8");
        }
        const proto::Datagram d = proto::EncodeReply(
            previous_id_, proto::kVersion2,
            no_sensors ? proto::ReplyStatus::kNoSensors : proto::ReplyStatus::kReadings, fields, 0);
        SendTo(to, d.data(), d.size());
        ++forged_;
    }

    void OnRequest() {
        std::uint8_t buf[2048];
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        const ssize_t got =
            recvfrom(client_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
        const Clock::time_point asked = Clock::now();
        std::uint32_t id = 0;
        std::uint8_t version = 0;
        if (got <= 0 || from.sin_family != AF_INET ||
            !proto::DecodeRequest(buf, static_cast<std::size_t>(got), &id, &version)) {
            return;
        }
        // The relay plays an agent that speaks version 2. The plug-in's version 1 requests
        // (its fallback for old agents, sent when a version 2 request is slow) go unanswered,
        // so that every poll's outcome rests on its one version 2 request and its fault.
        if (version != proto::kVersion2)
            return;
        const int seq = requests_++;
        const bool scheduled = seq >= o_.warmup && seq < o_.warmup + o_.polls;
        Action action = scheduled ? Draw() : kPass;
        if (action == kLatePrevious && !has_previous_)
            action = kDuplicate;
        if (scheduled)
            ++scheduled_;
        ++counts_[action];

        bool answered = false;
        const char* note = "";
        if (action != kDropRequest) {
            const std::vector<std::uint8_t> reply =
                AskAgent(buf, static_cast<std::size_t>(got), id, version);
            if (reply.empty()) {
                ++agent_silent_;
                note = " agent-silent";
            } else {
                const Clock::time_point now = Clock::now();
                switch (action) {
                    case kPass:
                        SendTo(from, reply.data(), reply.size());
                        break;
                    case kDropReply:
                        break;
                    case kDelayPast:
                        pending_.push_back(
                            {now + milliseconds(o_.timeout_ms + 200), from, reply, asked, false});
                        break;
                    case kDelayInTime:
                        pending_.push_back(
                            {now + milliseconds(o_.timeout_ms / 10), from, reply, asked, true});
                        break;
                    case kLatePrevious:
                        SendForgedLate(from);
                        SendTo(from, reply.data(), reply.size());
                        break;
                    case kDuplicate:
                        SendTo(from, reply.data(), reply.size());
                        SendTo(from, reply.data(), reply.size());
                        break;
                    case kGarbageThenReply:
                        SendGarbage(from, reply);
                        SendTo(from, reply.data(), reply.size());
                        break;
                    case kGarbageOnly:
                        SendGarbage(from, reply);
                        break;
                    default:
                        break;
                }
                answered = AnswersInTime(action);
                if (answered && action != kDelayInTime)
                    NoteInTimeReply(asked);
            }
        }
        if (!answered)
            ++expected_failures_;
        if (log_) {
            std::fprintf(log_, "%d %08x %s %s%s\n", seq, id, kActionNames[action],
                         answered ? "valid-reply-in-time" : "no-valid-reply", note);
        }
        previous_id_ = id;
        has_previous_ = true;
        WriteStatus();
    }

    Options o_;
    std::mt19937 rng_;
    int client_ = -1;
    int agent_ = -1;
    std::FILE* log_ = nullptr;
    std::vector<Pending> pending_;
    Clock::duration slowest_in_time_{};
    int requests_ = 0;
    int scheduled_ = 0;
    int counts_[kActionCount] = {};
    int agent_silent_ = 0;
    int forged_ = 0;
    int garbage_ = 0;
    int expected_failures_ = 0;
    std::uint32_t previous_id_ = 0;
    bool has_previous_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        std::fprintf(stderr,
                     "usage: fault_relay --agent PORT [--seed N] [--warmup N] [--polls N] "
                     "[--timeout-ms MS] [--log FILE] [--status FILE]\n");
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    Relay relay(o);
    if (!relay.Open())
        return 1;
    relay.Run();
    relay.PrintFigures();
    return 0;
}
