#include "tests/native/metrics_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace vorn::agent::testing {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

TcpClient::~TcpClient() {
    Close();
}

void TcpClient::Close() {
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

bool TcpClient::Connect(const Endpoint& to, int timeout_ms) {
    return ConnectFrom(nullptr, to, timeout_ms);
}

bool TcpClient::ConnectFrom(const char* source, const Endpoint& to, int timeout_ms) {
    Close();
    fd_ = socket(to.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return false;
    if (source != nullptr) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        if (to.addr.ss_family != AF_INET || inet_pton(AF_INET, source, &from.sin_addr) != 1 ||
            bind(fd_, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
            Close();
            return false;
        }
    }
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&to.addr), to.len) != 0) {
        if (errno != EINPROGRESS) {
            Close();
            return false;
        }
        pollfd p{fd_, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (poll(&p, 1, timeout_ms) != 1 ||
            getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            Close();
            return false;
        }
    }
    return true;
}

bool TcpClient::Send(const std::string& bytes, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        const ssize_t r = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (r > 0) {
            sent += std::size_t(r);
            continue;
        }
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd_, POLLOUT, 0};
            if (poll(&p, 1, RemainingMs(deadline)) == 1)
                continue;
        }
        return false;
    }
    return fd_ >= 0;
}

std::string TcpClient::ReadToClose(int timeout_ms, bool* closed) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    bool eof = false;
    while (fd_ >= 0 && !eof) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, RemainingMs(deadline)) != 1)
            break;
        char buf[8192];
        const ssize_t r = recv(fd_, buf, sizeof buf, 0);
        if (r > 0)
            got.append(buf, std::size_t(r));
        else if (r == 0 || errno != EINTR)
            eof = true;  // a close or a reset both end the connection
    }
    if (closed)
        *closed = eof;
    return got;
}

std::string HttpReply::Header(const std::string& name) const {
    std::size_t pos = head.find("\r\n");
    while (pos != std::string::npos && pos + 2 < head.size()) {
        const std::size_t start = pos + 2;
        const std::size_t end = head.find("\r\n", start);
        const std::string line = head.substr(start, end - start);
        const std::size_t colon = line.find(':');
        if (colon == name.size()) {
            bool same = true;
            for (std::size_t i = 0; i < colon; ++i)
                same = same && Lower(line[i]) == Lower(name[i]);
            if (same) {
                std::size_t v = colon + 1;
                while (v < line.size() && line[v] == ' ')
                    ++v;
                return line.substr(v);
            }
        }
        pos = end;
    }
    return "";
}

HttpReply ParseHttpReply(const std::string& raw, bool closed) {
    HttpReply reply;
    reply.closed = closed;
    const std::size_t end = raw.find("\r\n\r\n");
    reply.head = raw.substr(0, end);
    if (end != std::string::npos)
        reply.body = raw.substr(end + 4);
    if (raw.rfind("HTTP/1.1 ", 0) == 0 && raw.size() >= 12)
        reply.status = std::atoi(raw.substr(9, 3).c_str());
    return reply;
}

HttpReply HttpExchange(const Endpoint& to, const std::string& request, int timeout_ms) {
    TcpClient client;
    if (!client.Connect(to, timeout_ms))
        return HttpReply{};
    client.Send(request, timeout_ms);
    bool closed = false;
    const std::string raw = client.ReadToClose(timeout_ms, &closed);
    return ParseHttpReply(raw, closed);
}

HttpReply HttpGet(const Endpoint& to, const std::string& target, int timeout_ms) {
    return HttpExchange(to,
                        "GET " + target + " HTTP/1.1\r\nHost: " + HostPort(to) +
                            "\r\nUser-Agent: vorn-test\r\nAccept: */*\r\nConnection: close\r\n\r\n",
                        timeout_ms);
}

std::vector<Endpoint> MetricsEndpoints(const std::string& log_text) {
    std::vector<Endpoint> eps;
    const std::size_t start = log_text.find("metrics on ");
    if (start == std::string::npos)
        return eps;
    const std::size_t at = start + 11;
    const std::size_t stop = log_text.find_first_of(";\n", at);
    const std::string list = log_text.substr(at, stop - at);
    std::size_t pos = 0;
    while (pos < list.size()) {
        std::size_t end = list.find(' ', pos);
        if (end == std::string::npos)
            end = list.size();
        Endpoint ep;
        if (end > pos && ParseEndpoint(list.substr(pos, end - pos), &ep))
            eps.push_back(ep);
        pos = end + 1;
    }
    return eps;
}

std::string HostPort(const Endpoint& ep) {
    return FormatEndpoint(reinterpret_cast<const sockaddr*>(&ep.addr));
}

std::uint16_t FreeTcpPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    std::uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    if (fd >= 0)
        close(fd);
    return port;
}

ChildProcess::~ChildProcess() {
    Stop();
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& log_path) {
    Stop();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int r = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (r != 0)
        return false;
    pid_ = pid;
    return true;
}

bool ChildProcess::Running() {
    if (pid_ <= 0)
        return false;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::Stop() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < deadline) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

int RunCommand(const std::string& command, std::string* output) {
    output->clear();
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return -1;
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
        output->append(buf, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double SampleValue(const std::string& exposition, const std::string& series) {
    const std::string key = "\n" + series + " ";
    const std::string text = "\n" + exposition;
    const std::size_t at = text.find(key);
    if (at == std::string::npos)
        return std::nan("");
    return std::strtod(text.c_str() + at + key.size(), nullptr);
}

}  // namespace vorn::agent::testing
