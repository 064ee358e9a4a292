// Measures the sensor agent on loopback, against two baselines started by this program:
//   - a bare UDP echo responder of 128-byte datagrams (the floor for one request and reply);
//   - net-snmp's snmpd with a private configuration, answering a GET of 13 values.
// Prints latency p50/p99 (through the plug-in's Get for the agent), requests per second under
// a flood from several clients with each server held to one core, the agent's resident memory
// at start and after a million requests, and the ratios against the targets.
//
// Usage: vorn_bench_agent [--agent PATH] [--snmpd PATH] [--samples N] [--seconds S]
//                         [--clients N] [--requests-for-memory N]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "plugin_api/vornplug.h"
#include "protocol/sensor_protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string agent = VORN_AGENT_BINARY;
    std::string snmpd = "/usr/sbin/snmpd";
    int samples = 20000;
    double seconds = 3.0;
    int clients = 4;
    long memory_requests = 1000000;
};

// ---- processes -----------------------------------------------------------------------------

// Keeps servers on the first CPU and the clients on the others, so that "one core" holds.
void PinTo(int cpu) {
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

struct Child {
    pid_t pid = -1;
    int err_fd = -1;  // the child's stderr, when captured
    std::string err;

    void Stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            for (int i = 0; i < 200; ++i) {
                if (waitpid(pid, nullptr, WNOHANG) == pid) {
                    pid = -1;
                    break;
                }
                usleep(10000);
            }
            if (pid > 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
                pid = -1;
            }
        }
        if (err_fd >= 0)
            close(err_fd);
        err_fd = -1;
    }
    ~Child() { Stop(); }
};

// Starts argv on CPU 0 with stderr captured (or sent to /dev/null).
bool Spawn(const std::vector<std::string>& argv, bool capture, Child* child,
           const std::vector<std::string>& env = {}) {
    int fds[2] = {-1, -1};
    if (capture && pipe2(fds, O_CLOEXEC) != 0)
        return false;
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        PinTo(0);
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(capture ? fds[1] : devnull, 2);
        for (const std::string& e : env)
            putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    child->pid = pid;
    if (capture) {
        close(fds[1]);
        child->err_fd = fds[0];
    }
    return true;
}

// Reads the child's stderr until `text` shows up or the time runs out.
bool WaitFor(Child& child, const std::string& text, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (child.err.find(text) == std::string::npos) {
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0)
            return false;
        pollfd p{child.err_fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            return false;
        char buf[1024];
        const ssize_t n = read(child.err_fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        child.err.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

long ResidentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

int FreeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

int ConnectedSocket(int port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return fd;
}

// ---- the echo floor ------------------------------------------------------------------------

// A forked responder that sends every datagram straight back.
bool StartEcho(int port, Child* child) {
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        PinTo(0);
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<std::uint16_t>(port));
        if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            _exit(1);
        std::uint8_t buf[2048];
        for (;;) {
            sockaddr_storage from;
            socklen_t len = sizeof from;
            const ssize_t n =
                recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n > 0)
                sendto(fd, buf, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from),
                       len);
        }
    }
    child->pid = pid;
    return true;
}

// ---- SNMP GET of 13 values, encoded by hand (BER) -------------------------------------------

using Bytes = std::vector<std::uint8_t>;

void PutLength(Bytes& out, std::size_t len) {
    if (len < 128) {
        out.push_back(static_cast<std::uint8_t>(len));
    } else if (len < 256) {
        out.push_back(0x81);
        out.push_back(static_cast<std::uint8_t>(len));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(len >> 8));
        out.push_back(static_cast<std::uint8_t>(len));
    }
}

Bytes Tlv(std::uint8_t tag, const Bytes& body) {
    Bytes out{tag};
    PutLength(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes Integer(std::uint32_t v) {
    Bytes body;
    for (int shift = 24; shift >= 0; shift -= 8) {
        body.push_back(static_cast<std::uint8_t>(v >> shift));
    }
    while (body.size() > 1 && body[0] == 0 && !(body[1] & 0x80))
        body.erase(body.begin());
    if (body[0] & 0x80)
        body.insert(body.begin(), 0);
    return Tlv(0x02, body);
}

Bytes Oid(const std::vector<std::uint32_t>& arcs) {
    Bytes body{static_cast<std::uint8_t>(arcs[0] * 40 + arcs[1])};
    for (std::size_t i = 2; i < arcs.size(); ++i) {
        Bytes part;
        std::uint32_t v = arcs[i];
        part.insert(part.begin(), static_cast<std::uint8_t>(v & 0x7F));
        while (v >>= 7)
            part.insert(part.begin(), static_cast<std::uint8_t>(0x80 | (v & 0x7F)));
        body.insert(body.end(), part.begin(), part.end());
    }
    return Tlv(0x06, body);
}

Bytes Concat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Thirteen scalars that a stock snmpd serves: the system group, host uptime, memory and the
// three load averages (read from /proc at each request, as sensor readings would be).
const std::vector<std::vector<std::uint32_t>> kSnmpOids = {
    {1, 3, 6, 1, 2, 1, 1, 1, 0},           {1, 3, 6, 1, 2, 1, 1, 2, 0},
    {1, 3, 6, 1, 2, 1, 1, 3, 0},           {1, 3, 6, 1, 2, 1, 1, 4, 0},
    {1, 3, 6, 1, 2, 1, 1, 5, 0},           {1, 3, 6, 1, 2, 1, 1, 6, 0},
    {1, 3, 6, 1, 2, 1, 1, 7, 0},           {1, 3, 6, 1, 2, 1, 1, 8, 0},
    {1, 3, 6, 1, 2, 1, 25, 1, 1, 0},       {1, 3, 6, 1, 4, 1, 2021, 4, 5, 0},
    {1, 3, 6, 1, 4, 1, 2021, 10, 1, 3, 1}, {1, 3, 6, 1, 4, 1, 2021, 10, 1, 3, 2},
    {1, 3, 6, 1, 4, 1, 2021, 10, 1, 3, 3},
};

Bytes SnmpGet(std::uint32_t id) {
    std::vector<Bytes> binds;
    for (const auto& oid : kSnmpOids) {
        binds.push_back(Tlv(0x30, Concat({Oid(oid), Bytes{0x05, 0x00}})));
    }
    const Bytes pdu =
        Tlv(0xA0, Concat({Integer(id), Integer(0), Integer(0), Tlv(0x30, Concat(binds))}));
    return Tlv(0x30, Concat({Integer(1), Tlv(0x04, Bytes{'p', 'u', 'b', 'l', 'i', 'c'}), pdu}));
}

// A TLV reader over a reply; false when the bytes run out.
struct Reader {
    const std::uint8_t* p;
    const std::uint8_t* end;
    bool Next(std::uint8_t* tag, const std::uint8_t** body, std::size_t* len) {
        if (end - p < 2)
            return false;
        *tag = *p++;
        std::size_t n = *p++;
        if (n & 0x80) {
            const int bytes = n & 0x7F;
            if (bytes > 2 || end - p < bytes)
                return false;
            n = 0;
            for (int i = 0; i < bytes; ++i)
                n = (n << 8) | *p++;
        }
        if (static_cast<std::size_t>(end - p) < n)
            return false;
        *body = p;
        *len = n;
        p += n;
        return true;
    }
};

// Number of varbinds in a GetResponse to `id` that carry a value (not an exception);
// -1 when the reply is not such a response.
int SnmpValues(const std::uint8_t* data, std::size_t size, std::uint32_t id) {
    Reader top{data, data + size};
    std::uint8_t tag;
    const std::uint8_t* body;
    std::size_t len;
    if (!top.Next(&tag, &body, &len) || tag != 0x30)
        return -1;
    Reader msg{body, body + len};
    if (!msg.Next(&tag, &body, &len) || tag != 0x02)
        return -1;  // version
    if (!msg.Next(&tag, &body, &len) || tag != 0x04)
        return -1;  // community
    if (!msg.Next(&tag, &body, &len) || tag != 0xA2)
        return -1;  // GetResponse
    Reader pdu{body, body + len};
    if (!pdu.Next(&tag, &body, &len) || tag != 0x02)
        return -1;
    std::uint32_t got = 0;
    for (std::size_t i = 0; i < len; ++i)
        got = (got << 8) | body[i];
    if (got != id)
        return -1;
    if (!pdu.Next(&tag, &body, &len) || tag != 0x02 || len != 1 || body[0] != 0)
        return -1;
    if (!pdu.Next(&tag, &body, &len) || tag != 0x02)
        return -1;
    if (!pdu.Next(&tag, &body, &len) || tag != 0x30)
        return -1;
    Reader binds{body, body + len};
    int values = 0;
    while (binds.Next(&tag, &body, &len)) {
        Reader bind{body, body + len};
        if (!bind.Next(&tag, &body, &len) || tag != 0x06)
            return -1;
        if (!bind.Next(&tag, &body, &len))
            return -1;
        if (tag < 0x80 || tag > 0x82)
            ++values;  // not noSuchObject/noSuchInstance/endOfMibView
    }
    return values;
}

// ---- measurements --------------------------------------------------------------------------

struct Percentiles {
    double p50 = 0;
    double p99 = 0;
    int failures = 0;
};

Percentiles Summarise(std::vector<double>& us, int failures) {
    Percentiles p;
    p.failures = failures;
    if (us.empty())
        return p;
    std::sort(us.begin(), us.end());
    p.p50 = us[us.size() / 2];
    p.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    return p;
}

// Round-trip times of one client, and the requests that got no valid reply.
struct LatencyLog {
    void Add(double us, bool ok) {
        if (ok) {
            times.push_back(us);
        } else {
            ++failures;
        }
    }
    Percentiles Result() { return Summarise(times, failures); }

    std::vector<double> times;
    int failures = 0;
};

using Maker = std::function<Bytes(std::uint32_t)>;
using Checker = std::function<bool(const std::uint8_t*, std::size_t, std::uint32_t)>;

// One request at a time on a connected socket, as the plug-in does it.
class RawClient {
public:
    RawClient(int port, Maker make, Checker valid)
        : fd_(ConnectedSocket(port)), make_(std::move(make)), valid_(std::move(valid)) {}
    ~RawClient() { close(fd_); }

    // Times `n` requests; keeps the times when `keep`.
    void Measure(int n, bool keep) {
        std::uint8_t buf[2048];
        for (int i = 0; i < n; ++i) {
            const std::uint32_t id = ++id_;
            const Bytes req = make_(id);
            const auto t0 = Clock::now();
            send(fd_, req.data(), req.size(), 0);
            bool ok = false;
            for (;;) {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 1000) <= 0)
                    break;
                const ssize_t got = recv(fd_, buf, sizeof buf, 0);
                if (got > 0 && valid_(buf, static_cast<std::size_t>(got), id)) {
                    ok = true;
                    break;
                }
            }
            const double t = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
            if (keep)
                log_.Add(t, ok);
        }
    }
    Percentiles Result() { return log_.Result(); }

private:
    int fd_;
    Maker make_;
    Checker valid_;
    std::uint32_t id_ = 0x10000;
    LatencyLog log_;
};

// The same through the plug-in's Get.
class PluginClient {
public:
    explicit PluginClient(int port) {
        const std::string host = "127.0.0.1:" + std::to_string(port);
        open_ = plugin_.Create(host.c_str()) != 0;
    }
    ~PluginClient() { plugin_.Destroy(); }

    void Measure(int n, bool keep) {
        for (int i = 0; i < n; ++i) {
            LMDATA data;
            const auto t0 = Clock::now();
            const int ok = open_ && plugin_.Get(data, 1000);
            const double t = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
            if (keep)
                log_.Add(t, ok);
        }
    }
    Percentiles Result() { return log_.Result(); }

private:
    VORNPLUG plugin_;
    bool open_ = false;
    LatencyLog log_;
};

// Several client threads, each keeping a window of requests in flight, count replies until the
// time is up or `stop_after` replies have come back. Returns replies per second.
double Flood(int port, int clients, double seconds, long stop_after, const Bytes& request,
             long* replies_out) {
    constexpr int kWindow = 16;
    std::atomic<long> replies{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    const auto t0 = Clock::now();
    const auto deadline =
        t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            PinTo(static_cast<int>(1 + c % std::max(1L, cpus - 1)));
            const int fd = ConnectedSocket(port);
            Bytes req = request;
            iovec out_iov[kWindow];
            mmsghdr out[kWindow];
            for (int i = 0; i < kWindow; ++i) {
                out_iov[i] = iovec{req.data(), req.size()};
                out[i] = mmsghdr{};
                out[i].msg_hdr.msg_iov = &out_iov[i];
                out[i].msg_hdr.msg_iovlen = 1;
            }
            std::vector<std::uint8_t> in_buf(kWindow * 512);
            iovec in_iov[kWindow];
            mmsghdr in[kWindow];
            sendmmsg(fd, out, kWindow, 0);
            while (!stop.load(std::memory_order_relaxed)) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0) {
                    if (Clock::now() >= deadline)
                        break;
                    sendmmsg(fd, out, kWindow, 0);  // replies were lost: refill the window
                    continue;
                }
                for (int i = 0; i < kWindow; ++i) {
                    in_iov[i] = iovec{in_buf.data() + i * 512, 512};
                    in[i] = mmsghdr{};
                    in[i].msg_hdr.msg_iov = &in_iov[i];
                    in[i].msg_hdr.msg_iovlen = 1;
                }
                const int got = recvmmsg(fd, in, kWindow, MSG_DONTWAIT, nullptr);
                if (got <= 0)
                    continue;
                const long total = replies.fetch_add(got, std::memory_order_relaxed) + got;
                if (total >= stop_after || Clock::now() >= deadline) {
                    stop.store(true, std::memory_order_relaxed);
                    break;
                }
                sendmmsg(fd, out, static_cast<unsigned>(got), 0);
            }
            close(fd);
        });
    }
    for (std::thread& t : threads)
        t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    if (replies_out)
        *replies_out = replies.load();
    return static_cast<double>(replies.load()) / elapsed;
}

std::string MakeTempDir() {
    char path[] = "/tmp/vorn-bench-XXXXXX";
    if (!mkdtemp(path))
        return "";
    chmod(path, 0755);
    return path;
}

bool StartSnmpd(const Options& o, const std::string& dir, int port, Child* child,
                std::string* why) {
    if (access(o.snmpd.c_str(), X_OK) != 0) {
        *why = o.snmpd + " is not installed (Debian package snmpd)";
        return false;
    }
    const std::string conf = dir + "/snmpd.conf";
    // The address goes on the command line only: naming it here too would bind it twice.
    // Connections are not logged, so that the log costs snmpd nothing per request.
    std::ofstream(conf) << "rocommunity public 127.0.0.1\n"
                        << "dontLogTCPWrappersConnects yes\n"
                        << "sysLocation bench\nsysContact bench\nsysName bench\nsysServices 72\n";
    const std::string state = dir + "/snmp-state";
    mkdir(state.c_str(), 0777);
    chmod(state.c_str(), 0777);
    std::vector<std::string> argv = {
        o.snmpd, "-f", "-C", "-c", conf, "-Lf", dir + "/snmpd.log", "-p", dir + "/snmpd.pid"};
    // Started as root, it drops to an unprivileged user once its port is bound.
    if (geteuid() == 0 && getpwnam("nobody"))
        argv.insert(argv.end(), {"-u", "nobody"});
    argv.push_back("udp:127.0.0.1:" + std::to_string(port));
    if (!Spawn(argv, false, child, {"SNMP_PERSISTENT_DIR=" + state, "MIBS="})) {
        *why = "cannot start snmpd";
        return false;
    }
    // Ready once it answers.
    const int fd = ConnectedSocket(port);
    const Bytes req = SnmpGet(1);
    std::uint8_t buf[2048];
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        send(fd, req.data(), req.size(), 0);
        pollfd p{fd, POLLIN, 0};
        const ssize_t n = poll(&p, 1, 100) > 0 ? recv(fd, buf, sizeof buf, 0) : -1;
        if (n <= 0) {
            usleep(50000);  // not bound yet: the port answered with an ICMP error
            continue;
        }
        const int values = SnmpValues(buf, static_cast<std::size_t>(n), 1);
        close(fd);
        if (values == static_cast<int>(kSnmpOids.size()))
            return true;
        *why = "snmpd answered with " + std::to_string(values) + " of 13 values";
        return false;
    }
    close(fd);
    std::ifstream log(dir + "/snmpd.log");
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    *why = "snmpd did not answer; its log: " + text.substr(0, 400);
    return false;
}

const char* Verdict(bool ok) {
    return ok ? "met" : "MISSED";
}

void PrintLatency(const char* what, const Percentiles& p) {
    std::printf("  %-34s p50 %7.1f us   p99 %7.1f us", what, p.p50, p.p99);
    if (p.failures)
        std::printf("   (%d without reply)", p.failures);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "vorn_bench_agent: %s needs a value\n", a.c_str());
            return 2;
        }
        const char* v = argv[++i];
        if (a == "--agent") {
            o.agent = v;
        } else if (a == "--snmpd") {
            o.snmpd = v;
        } else if (a == "--samples") {
            o.samples = std::max(100, std::atoi(v));
        } else if (a == "--seconds") {
            o.seconds = std::max(0.5, std::atof(v));
        } else if (a == "--clients") {
            o.clients = std::max(1, std::atoi(v));
        } else if (a == "--requests-for-memory") {
            o.memory_requests = std::max(1L, std::atol(v));
        } else {
            std::fprintf(stderr, "vorn_bench_agent: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    const std::string dir = MakeTempDir();
    if (dir.empty())
        return 1;

    // All 13 readings, as a host's own tool would keep them.
    const std::string readings = dir + "/readings.txt";
    std::ofstream(readings) << "TCPU=45.5\nTPWR=38\nTSYS=31\nVVID=1.352\nVVTT=1.056\nV33V=3.296\n"
                               "VP05=5.011\nVM05=-5.028\nVP12=12.192\nVM12=-12.049\n"
                               "FAN1=1125\nFAN2=0\nFAN3=812\n";

    std::printf("vornagent benchmark on loopback: %ld CPUs, servers pinned to CPU 0\n",
                sysconf(_SC_NPROCESSORS_ONLN));
    std::printf(
        "  latency: %d sequential requests each; flood: %d clients x 16 in flight, %.1f s\n\n",
        o.samples, o.clients, o.seconds);

    Child echo;
    const int echo_port = FreeUdpPort();
    if (!StartEcho(echo_port, &echo))
        return 1;

    Child agent;
    if (!Spawn({o.agent, "--listen", "127.0.0.1:0", "--source", "file:" + readings, "--rate", "0"},
               true, &agent) ||
        !WaitFor(agent, "listening on 127.0.0.1:", 5000) || !WaitFor(agent, ";", 1000)) {
        std::fprintf(stderr, "cannot start %s: %s\n", o.agent.c_str(), agent.err.c_str());
        return 1;
    }
    const std::size_t at = agent.err.find("127.0.0.1:") + std::strlen("127.0.0.1:");
    const int agent_port = std::atoi(agent.err.c_str() + at);
    usleep(100000);
    const long rss_start = ResidentKiB(agent.pid);

    Child snmpd;
    const int snmp_port = FreeUdpPort();
    std::string snmp_why;
    const bool have_snmpd = StartSnmpd(o, dir, snmp_port, &snmpd, &snmp_why);

    const Maker agent_request = [](std::uint32_t id) {
        const vorn::proto::Datagram d = vorn::proto::EncodeRequest(id);
        return Bytes(d.begin(), d.end());
    };
    const Checker echo_ok = [](const std::uint8_t*, std::size_t n, std::uint32_t) {
        return n == vorn::proto::kDatagramSize;
    };
    const Checker agent_ok = [](const std::uint8_t* d, std::size_t n, std::uint32_t id) {
        return vorn::proto::DecodeReply(d, n, id, nullptr, nullptr);
    };
    const Checker snmp_ok = [](const std::uint8_t* d, std::size_t n, std::uint32_t id) {
        return SnmpValues(d, n, id) == static_cast<int>(kSnmpOids.size());
    };

    std::printf(
        "Latency, one client, one request at a time (servers measured in turns, so\n"
        "that load from elsewhere on the machine falls on all of them alike):\n");
    RawClient echo_client(echo_port, agent_request, echo_ok);
    PluginClient plug_client(agent_port);
    RawClient raw_client(agent_port, agent_request, agent_ok);
    RawClient snmp_client(snmp_port, SnmpGet, snmp_ok);
    constexpr int kTurns = 50;
    const int per_turn = std::max(1, o.samples / kTurns);
    for (int turn = -1; turn < kTurns; ++turn) {
        const bool keep = turn >= 0;  // the first turn warms up
        echo_client.Measure(per_turn, keep);
        plug_client.Measure(per_turn, keep);
        raw_client.Measure(per_turn, keep);
        if (have_snmpd)
            snmp_client.Measure(per_turn, keep);
    }
    const Percentiles echo_lat = echo_client.Result();
    const Percentiles plug_lat = plug_client.Result();
    const Percentiles raw_lat = raw_client.Result();
    PrintLatency("echo responder, 128 bytes (floor)", echo_lat);
    PrintLatency("vornagent through VORNPLUG::Get", plug_lat);
    PrintLatency("vornagent, bare socket client", raw_lat);
    // Every code path has run by now; growth from here on would be a leak.
    const long rss_warm = ResidentKiB(agent.pid);
    Percentiles snmp_lat;
    if (have_snmpd) {
        snmp_lat = snmp_client.Result();
        PrintLatency("snmpd, GET of 13 values", snmp_lat);
    } else {
        std::printf("  snmpd skipped: %s\n", snmp_why.c_str());
    }

    std::printf("\nThroughput under a flood, server on one core:\n");
    long agent_replies = 0;
    const double agent_rps =
        Flood(agent_port, o.clients, o.seconds, 1L << 62, agent_request(0x5EED), &agent_replies);
    std::printf("  %-34s %10.0f requests/s\n", "vornagent", agent_rps);
    double snmp_rps = 0;
    if (have_snmpd) {
        snmp_rps = Flood(snmp_port, o.clients, o.seconds, 1L << 62, SnmpGet(0x5EED), nullptr);
        std::printf("  %-34s %10.0f requests/s\n", "snmpd, GET of 13 values", snmp_rps);
        snmpd.Stop();
    }

    // Memory: top the agent up to the requested count, then read its resident set again.
    const long served = 2L * per_turn * (kTurns + 1) + agent_replies;
    long more = 0;
    if (served < o.memory_requests) {
        Flood(agent_port, o.clients, 600.0, o.memory_requests - served, agent_request(0x5EED),
              &more);
    }
    const long rss_end = ResidentKiB(agent.pid);
    std::printf(
        "\nvornagent resident memory: %ld KiB at start, %ld KiB after %d requests, "
        "%ld KiB after %ld requests\n",
        rss_start, rss_warm, o.samples * 22 / 10, rss_end, served + more);
    agent.Stop();
    echo.Stop();

    std::printf("\nRatios and targets:\n");
    const double floor_ratio = plug_lat.p50 / echo_lat.p50;
    std::printf("  agent p50 / echo p50          %6.2f   (target <= 1.3)  %s\n", floor_ratio,
                Verdict(floor_ratio <= 1.3));
    if (have_snmpd) {
        const double lat_ratio = plug_lat.p50 / snmp_lat.p50;
        const double rps_ratio = agent_rps / snmp_rps;
        std::printf("  agent p50 / snmpd p50         %6.2f   (target <= 0.33) %s\n", lat_ratio,
                    Verdict(lat_ratio <= 1.0 / 3.0));
        std::printf("  agent req/s / snmpd req/s     %6.2f   (target >= 3)    %s\n", rps_ratio,
                    Verdict(rps_ratio >= 3.0));
    } else {
        std::printf("  snmpd comparisons skipped: %s\n", snmp_why.c_str());
    }
    const bool small = rss_start > 0 && rss_end > 0 && rss_end < 4096;
    const bool flat = rss_end - rss_warm <= 64;
    std::printf("  resident memory < 4 MiB       %6.2f MiB                 %s\n", rss_end / 1024.0,
                Verdict(small));
    std::printf("  resident memory flat          %+6ld KiB since warm-up    %s\n",
                rss_end - rss_warm, Verdict(flat));
    std::string cleanup = "rm -rf '" + dir + "'";
    if (std::system(cleanup.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    return 0;
}
