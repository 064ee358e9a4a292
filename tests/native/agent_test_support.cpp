#include "tests/native/agent_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vorn::agent::testing {

readings::ReadingSet FixedSource::Sample() {
    if (reads_)
        ++*reads_;
    return set_;
}

readings::ReadingSet ReadingsOf(const std::vector<std::pair<int, double>>& values) {
    readings::ReadingSet set;
    for (const auto& [field, value] : values)
        set[field].value = value;
    return set;
}

readings::Warnings* QuietWarnings() {
    struct Quiet : readings::Warnings {
        bool Warn(const std::string&, const std::string&) override { return true; }
    };
    static Quiet quiet;
    return &quiet;
}

std::unique_ptr<readings::Refresher> SampledRefresher(std::unique_ptr<readings::Source> source,
                                                      std::chrono::milliseconds interval) {
    auto refresher = std::make_unique<readings::Refresher>(
        std::move(source), interval, readings::DefaultStaleAfter(interval), QuietWarnings());
    if (!refresher->WaitForFirstSample(std::chrono::seconds(10)))
        throw std::runtime_error("the refresher took no sample within 10 seconds");
    return refresher;
}

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

int RemoveEntry(const char* path, const struct stat*, int, FTW*) {
    return remove(path);
}

}  // namespace

std::string Fixture(const std::string& relative) {
    return std::string(VORN_AGENT_FIXTURES) + "/" + relative;
}

TempDir::TempDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vornagent-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    RemoveTree(path_);
}

std::string TempDir::Write(const std::string& name, const std::string& text) const {
    const std::string full = path_ + "/" + name;
    const std::string temp = full + ".new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
    }
    std::rename(temp.c_str(), full.c_str());
    return full;
}

void RemoveTree(const std::string& path) {
    nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void CopyTree(const std::string& from, const std::string& to) {
    static thread_local std::string src_root;
    static thread_local std::string dst_root;
    src_root = from;
    dst_root = to;
    mkdir(to.c_str(), 0755);
    nftw(
        from.c_str(),
        [](const char* path, const struct stat* st, int type, FTW*) {
            const std::string target = dst_root + (path + src_root.size());
            if (type == FTW_D) {
                mkdir(target.c_str(), 0755);
            } else if (type == FTW_F && S_ISREG(st->st_mode)) {
                std::ifstream in(path, std::ios::binary);
                std::ofstream out(target, std::ios::binary);
                out << in.rdbuf();
            }
            return 0;
        },
        16, FTW_PHYS);
}

UdpClient::UdpClient(int family) {
    fd_ = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw std::runtime_error("socket failed");
    Endpoint local = Loopback(family, 0);
    bind(fd_, reinterpret_cast<const sockaddr*>(&local.addr), local.len);
}

UdpClient::~UdpClient() {
    if (fd_ >= 0)
        close(fd_);
}

bool UdpClient::SendTo(const Endpoint& to, const void* data, std::size_t len) {
    return sendto(fd_, data, len, 0, reinterpret_cast<const sockaddr*>(&to.addr), to.len) ==
           static_cast<ssize_t>(len);
}

std::optional<std::vector<std::uint8_t>> UdpClient::Receive(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return std::nullopt;
    std::vector<std::uint8_t> buf(2048);
    const ssize_t n = recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0)
        return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
}

std::optional<Answer> Ask(UdpClient& client, const Endpoint& to, std::uint32_t id, int timeout_ms) {
    const proto::Datagram request = proto::EncodeRequest(id);
    if (!client.SendTo(to, request.data(), request.size()))
        return std::nullopt;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
        auto got = client.Receive(RemainingMs(deadline));
        if (!got)
            break;
        Answer a;
        if (proto::DecodeReply(got->data(), got->size(), id, &a.status, &a.fields))
            return a;
    }
    return std::nullopt;
}

Endpoint Loopback(int family, std::uint16_t port) {
    Endpoint ep;
    ParseEndpoint(
        family == AF_INET6 ? "[::1]:" + std::to_string(port) : "127.0.0.1:" + std::to_string(port),
        &ep);
    return ep;
}

std::uint16_t PortOf(const Endpoint& ep) {
    if (ep.addr.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&ep.addr)->sin_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&ep.addr)->sin6_port);
}

AgentProcess::~AgentProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (err_fd_ >= 0)
        close(err_fd_);
    if (out_fd_ >= 0)
        close(out_fd_);
}

bool AgentProcess::Start(const std::vector<std::string>& args) {
    int err_pipe[2];
    int out_pipe[2];
    if (pipe2(err_pipe, O_CLOEXEC) != 0)
        return false;
    if (pipe2(out_pipe, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    std::vector<std::string> all{VORN_AGENT_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, VORN_AGENT_BINARY, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(err_pipe[1]);
    close(out_pipe[1]);
    err_fd_ = err_pipe[0];
    out_fd_ = out_pipe[0];
    if (rc != 0)
        pid_ = -1;
    return rc == 0;
}

void AgentProcess::Pump(int timeout_ms) {
    pollfd p[2] = {{err_fd_, POLLIN, 0}, {out_fd_, POLLIN, 0}};
    if (poll(p, 2, timeout_ms) <= 0)
        return;
    char buf[4096];
    if (p[0].revents & (POLLIN | POLLHUP)) {
        const ssize_t n = read(err_fd_, buf, sizeof buf);
        if (n > 0)
            err_.append(buf, static_cast<std::size_t>(n));
    }
    if (p[1].revents & (POLLIN | POLLHUP)) {
        const ssize_t n = read(out_fd_, buf, sizeof buf);
        if (n > 0)
            out_.append(buf, static_cast<std::size_t>(n));
    }
}

bool AgentProcess::WaitForLine(const std::string& text, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const std::size_t at = err_.find(text, seen_);
        if (at != std::string::npos) {
            const std::size_t end = err_.find('\n', at);
            if (end != std::string::npos) {
                seen_ = end + 1;
                return true;
            }
        }
        const int left = RemainingMs(deadline);
        if (left == 0)
            return false;
        Pump(left < 50 ? left : 50);
    }
}

std::vector<Endpoint> AgentProcess::WaitListening(int timeout_ms) {
    std::vector<Endpoint> eps;
    const std::size_t before = seen_;
    if (!WaitForLine("listening on", timeout_ms))
        return eps;
    const std::size_t at = err_.find("listening on", before) + std::strlen("listening on");
    const std::size_t end = err_.find(';', at);
    std::string list = err_.substr(at, end - at);
    std::size_t pos = 0;
    while (pos < list.size()) {
        while (pos < list.size() && list[pos] == ' ')
            ++pos;
        std::size_t stop = list.find(' ', pos);
        if (stop == std::string::npos)
            stop = list.size();
        Endpoint ep;
        if (stop > pos && ParseEndpoint(list.substr(pos, stop - pos), &ep))
            eps.push_back(ep);
        pos = stop;
    }
    return eps;
}

void AgentProcess::Signal(int sig) const {
    if (pid_ > 0)
        kill(pid_, sig);
}

int AgentProcess::Wait(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (pid_ > 0) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            Pump(0);
            Pump(0);
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (RemainingMs(deadline) == 0)
            return -1;
        Pump(10);
    }
    return -1;
}

int RunAgent(const std::vector<std::string>& args, std::string* out, std::string* err,
             int timeout_ms) {
    AgentProcess p;
    if (!p.Start(args))
        return -1;
    const int status = p.Wait(timeout_ms);
    // Collect what is left in the pipes after the exit.
    for (int i = 0; i < 20; ++i) {
        const std::size_t o = p.out().size();
        const std::size_t e = p.err().size();
        p.WaitForLine("\x01", 5);
        if (p.out().size() == o && p.err().size() == e)
            break;
    }
    if (out)
        *out = p.out();
    if (err)
        *err = p.err();
    return status;
}

}  // namespace vorn::agent::testing
