// agent_attack: the real vornagent under attack on loopback, with figures.
//
//   agent_attack AGENT_BINARY READINGS_FILE [DATAGRAMS]
//
// 1. DATAGRAMS (default 100,000) random datagrams from an admitted source: random bytes of
//    random length, and valid requests broken in one place. None may be answered.
// 2. As many valid requests from a source outside the allow list: none may be answered.
// 3. One admitted source floods valid requests for a second while another asks every 200 ms:
//    the flood is held to the rate, the quiet client answered every time.
// Between phases a probe proves the agent alive; its resident memory must stay flat, and it
// must stop cleanly on SIGTERM. Exit status 0 when all of that holds.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "protocol/sensor_protocol.h"

namespace proto = vorn::proto;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr int kRate = 20;

struct Agent {
    pid_t pid = -1;
    int err_fd = -1;
    std::string err;
    int port = 0;
};

// Reads the agent's stderr for up to `ms`, until `text` shows.
bool ReadUntil(Agent& a, const std::string& text, int ms) {
    const Clock::time_point end = Clock::now() + milliseconds(ms);
    while (a.err.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{a.err_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = read(a.err_fd, buf, sizeof buf);
        if (n <= 0)
            return a.err.find(text) != std::string::npos;
        a.err.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

bool StartAgent(const std::string& binary, const std::string& readings, Agent* a) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    const std::string source = "file:" + readings;
    const std::string rate = std::to_string(kRate);
    a->pid = fork();
    if (a->pid == 0) {
        dup2(fds[1], 2);
        execl(binary.c_str(), binary.c_str(), "--listen", "127.0.0.1:0", "--allow", "127.0.0.1/32",
              "--allow", "127.0.0.3/32", "--allow", "127.0.0.4/32", "--rate", rate.c_str(),
              "--source", source.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    a->err_fd = fds[0];
    if (a->pid < 0 || !ReadUntil(*a, "listening on 127.0.0.1:", 5000) || !ReadUntil(*a, ";", 1000))
        return false;
    a->port = std::atoi(a->err.c_str() + a->err.find("127.0.0.1:") + 10);
    return a->port > 0;
}

long ResidentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

// A UDP socket bound to one loopback address, sending to the agent.
class Client {
public:
    Client(const char* address, int agent_port) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in me{};
        me.sin_family = AF_INET;
        inet_pton(AF_INET, address, &me.sin_addr);
        int size = 4 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&me), sizeof me) == 0;
        to_.sin_family = AF_INET;
        to_.sin_port = htons(static_cast<std::uint16_t>(agent_port));
        to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~Client() { close(fd_); }
    bool ok() const { return ok_; }

    void Send(const void* data, std::size_t len) {
        sendto(fd_, data, len, 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
    }
    // Datagrams that arrive within `ms`; with `valid_for`, stops at the first answer to `id`
    // and counts it there.
    int Drain(int ms, std::uint32_t id = 0, int* valid_for = nullptr) {
        int n = 0;
        const Clock::time_point end = Clock::now() + milliseconds(ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, left > 0 ? static_cast<int>(left) : 0) <= 0)
                return n;
            std::uint8_t buf[512];
            const ssize_t got = recv(fd_, buf, sizeof buf, 0);
            if (got < 0)
                return n;
            ++n;
            proto::ReplyStatus status;
            proto::Fields fields;
            if (valid_for &&
                proto::DecodeReply(buf, static_cast<std::size_t>(got), id, &status, &fields)) {
                ++*valid_for;
                return n;
            }
        }
    }
    // Sends one valid request and waits for its answer; tries three times, since a full
    // receive queue at the agent may drop a request.
    bool Probe(std::uint32_t id) {
        const proto::Datagram d = proto::EncodeRequest(id);
        for (int attempt = 0; attempt < 3; ++attempt) {
            Send(d.data(), d.size());
            int valid = 0;
            Drain(500, id, &valid);
            if (valid == 1)
                return true;
        }
        return false;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
    sockaddr_in to_{};
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: agent_attack AGENT_BINARY READINGS_FILE [DATAGRAMS]\n");
        return 2;
    }
    const int datagrams = argc > 3 ? std::atoi(argv[3]) : 100000;
    Agent agent;
    if (!StartAgent(argv[1], argv[2], &agent)) {
        std::printf("agent_attack: cannot start the agent: %s\n", agent.err.c_str());
        return 1;
    }
    bool ok = true;
    auto check = [&ok](bool cond, const char* what) {
        if (!cond) {
            std::printf("FAILED: %s\n", what);
            ok = false;
        }
    };
    Client listed("127.0.0.1", agent.port);
    Client unlisted("127.0.0.2", agent.port);
    Client flooder("127.0.0.3", agent.port);
    Client quiet("127.0.0.4", agent.port);
    check(listed.ok() && unlisted.ok() && flooder.ok() && quiet.ok(), "client sockets");
    check(listed.Probe(1), "the agent answers before the attack");
    usleep(200000);
    const long rss_start = ResidentKiB(agent.pid);

    // 1. Random datagrams from an admitted source.
    std::mt19937 rng(424242);
    std::uniform_int_distribution<int> len(0, 300);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> spot(0, 127);
    int malformed_replies = 0;
    int probes = 0;
    int probes_ok = 0;
    for (int i = 0; i < datagrams; ++i) {
        std::vector<std::uint8_t> d;
        if (i % 4 == 3) {
            const proto::Datagram good = proto::EncodeRequest(static_cast<std::uint32_t>(i));
            d.assign(good.begin(), good.end());
            int at = spot(rng);
            if (at >= 8 && at < 12)
                at = 12;  // the id may be anything; break something else
            d[static_cast<std::size_t>(at)] ^= static_cast<std::uint8_t>(1 + byte(rng) % 255);
            if (at == 4 && d[4] == proto::kVersion2)
                d[4] = 3;  // version 2 is a request too: make it one of no version at all
        } else {
            d.resize(static_cast<std::size_t>(len(rng)));
            for (auto& b : d)
                b = static_cast<std::uint8_t>(byte(rng));
        }
        listed.Send(d.data(), d.size());
        if (i % 100 == 99) {
            // Paced, so that the agent reads them rather than the kernel dropping them.
            malformed_replies += listed.Drain(0);
            usleep(1500);
        }
        if (i % 10000 == 9999) {
            // Keeps within the rate (one probe per 10,000 datagrams) and proves it alive.
            ++probes;
            probes_ok += listed.Probe(0x70000000u + static_cast<std::uint32_t>(i)) ? 1 : 0;
        }
    }
    malformed_replies += listed.Drain(300);
    check(malformed_replies == 0, "no reply to a malformed datagram");
    check(probes_ok == probes, "the agent answers between the random datagrams");

    // 2. A flood of valid requests from a source outside the allow list.
    for (int i = 0; i < datagrams; ++i) {
        const proto::Datagram d = proto::EncodeRequest(static_cast<std::uint32_t>(i));
        unlisted.Send(d.data(), d.size());
        if (i % 100 == 99) {
            check(unlisted.Drain(0) == 0, "no reply to a source outside the allow list");
            usleep(1500);
        }
    }
    const int unlisted_replies = unlisted.Drain(300);
    check(unlisted_replies == 0, "no reply to a source outside the allow list");
    check(quiet.Probe(2), "the agent answers after the unlisted flood");

    // 3. One source floods for a second; another asks every 200 ms meanwhile.
    usleep(1100000);  // the quiet client's probe above took a token; let it refill
    int flood_sent = 0;
    int flood_answered = 0;
    int quiet_sent = 0;
    int quiet_answered = 0;
    const Clock::time_point start = Clock::now();
    Clock::time_point next_quiet = start;
    while (Clock::now() - start < milliseconds(1000)) {
        const proto::Datagram d = proto::EncodeRequest(static_cast<std::uint32_t>(flood_sent));
        flooder.Send(d.data(), d.size());
        ++flood_sent;
        if (flood_sent % 50 == 0)
            flood_answered += flooder.Drain(0);
        if (Clock::now() >= next_quiet) {
            const std::uint32_t id = 0x51000000u + static_cast<std::uint32_t>(quiet_sent++);
            quiet_answered += quiet.Probe(id) ? 1 : 0;
            next_quiet += milliseconds(200);
        }
        usleep(200);
    }
    flood_answered += flooder.Drain(300);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    check(flood_answered <= kRate + static_cast<int>(kRate * seconds) + 2,
          "the flooding source is held to the rate");
    check(flood_answered >= kRate, "the flooding source gets its burst");
    check(quiet_answered == quiet_sent, "the quiet client is never limited");
    usleep(1100000);
    check(flooder.Probe(3), "the flooding source is answered again once it slows down");

    const long rss_end = ResidentKiB(agent.pid);
    check(rss_start > 0 && rss_end >= 0 && rss_end - rss_start <= 256,
          "resident memory flat (within 256 KiB)");
    kill(agent.pid, SIGTERM);
    int status = 0;
    check(ReadUntil(agent, "stopping;", 5000), "the agent stops on SIGTERM");
    check(waitpid(agent.pid, &status, 0) == agent.pid && WIFEXITED(status) &&
              WEXITSTATUS(status) == 0,
          "the agent ends with status 0, not a crash");
    const std::size_t stop = agent.err.find("stopping;");
    const std::string stop_line =
        stop == std::string::npos ? "" : agent.err.substr(stop, agent.err.find('\n', stop) - stop);

    std::printf("random_datagrams %d\n", datagrams);
    std::printf("replies_to_malformed %d\n", malformed_replies);
    std::printf("unlisted_requests %d\n", datagrams);
    std::printf("replies_to_unlisted %d\n", unlisted_replies);
    std::printf("flood_source_sent %d answered %d in %.2f s (rate %d/s, burst %d)\n", flood_sent,
                flood_answered, seconds, kRate, kRate);
    std::printf("quiet_client_sent %d answered %d\n", quiet_sent, quiet_answered);
    std::printf("agent_rss_kib start %ld end %ld\n", rss_start, rss_end);
    std::printf("agent_stop_line %s\n", stop_line.c_str());
    std::printf("attack %s\n", ok ? "PASSED" : "FAILED");
    return ok ? 0 : 1;
}
