#include "tests/native/http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace vorn::testing {

namespace {

constexpr int kSlice = 20;               // ms between looks at the stop flag
constexpr std::size_t kMaxHead = 16384;  // a longer request head is refused
constexpr std::size_t kMaxConnections = 64;

const char* Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

std::string Header(const std::string& head, const char* name) {
    const std::size_t n = std::strlen(name);
    std::size_t pos = head.find("\r\n");
    while (pos != std::string::npos && pos + 2 < head.size()) {
        const std::size_t start = pos + 2;
        const std::size_t end = head.find("\r\n", start);
        const std::string line = head.substr(start, end - start);
        if (line.size() > n && strncasecmp(line.c_str(), name, n) == 0 && line[n] == ':') {
            std::size_t v = n + 1;
            while (v < line.size() && line[v] == ' ')
                ++v;
            return line.substr(v);
        }
        pos = end;
    }
    return "";
}

}  // namespace

TestHttpServer::TestHttpServer(TestHttpHandler handler) : handler_(std::move(handler)) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return;
    }
    listen_fd_ = fd;
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
    stop_ = true;
    if (acceptor_.joinable())
        acceptor_.join();
    for (Connection& c : connections_)
        c.thread.join();
    if (listen_fd_ >= 0)
        close(listen_fd_);
}

std::string TestHttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void TestHttpServer::SetHandler(TestHttpHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<TestHttpRequest> TestHttpServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

TestHttpHandler TestHttpServer::Serve(std::string body) {
    return [body = std::move(body)](const TestHttpRequest&) {
        TestHttpReply reply;
        reply.body = body;
        return reply;
    };
}

void TestHttpServer::AcceptLoop() {
    while (!stop_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, kSlice) <= 0)
            continue;
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        for (std::size_t k = 0; k < connections_.size();) {
            if (*connections_[k].done) {
                connections_[k].thread.join();
                connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(k));
            } else {
                ++k;
            }
        }
        if (connections_.size() >= kMaxConnections) {
            close(fd);
            continue;
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        connections_.push_back({std::thread([this, fd, done] {
                                    Serve(fd);
                                    *done = true;
                                }),
                                done});
    }
}

void TestHttpServer::Serve(int fd) {
    using Clock = std::chrono::steady_clock;
    // Sends all of `data`, giving up when the peer is gone or the server stops.
    auto send_all = [&](const char* data, std::size_t len) {
        while (len > 0 && !stop_) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, kSlice) <= 0)
                continue;
            const ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
                return false;
            data += n;
            len -= static_cast<std::size_t>(n);
        }
        return len == 0;
    };
    // Waits `ms`, or less when the server stops or the peer closes.
    auto pause = [&](int ms) {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (!stop_ && Clock::now() < until) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, kSlice) > 0) {
                char c;
                if (recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
                    return false;
            }
        }
        return !stop_;
    };

    std::string head;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!stop_ && head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxHead &&
           Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kSlice) <= 0)
            continue;
        char buf[2048];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        head.append(buf, static_cast<std::size_t>(n));
    }
    if (head.find("\r\n\r\n") == std::string::npos) {
        close(fd);
        return;
    }
    TestHttpRequest request;
    const std::size_t sp1 = head.find(' ');
    const std::size_t sp2 = head.find(' ', sp1 + 1);
    if (sp1 != std::string::npos && sp2 != std::string::npos)
        request.target = head.substr(sp1 + 1, sp2 - sp1 - 1);
    request.authorization = Header(head, "Authorization");
    TestHttpHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
        handler = handler_;
    }
    const TestHttpReply reply = handler(request);
    using B = TestHttpReply::Behaviour;
    if (reply.behaviour == B::kHang) {
        while (pause(1000)) {
        }
        close(fd);
        return;
    }
    if (reply.behaviour == B::kDelay && !pause(reply.delay_ms)) {
        close(fd);
        return;
    }
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) +
                      "\r\nConnection: close\r\n";
    if (!reply.content_type.empty())
        out += "Content-Type: " + reply.content_type + "\r\n";
    for (const std::string& h : reply.headers)
        out += h + "\r\n";
    if (reply.behaviour != B::kEndless)
        out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    out += "\r\n";
    if (reply.behaviour == B::kEndless) {
        const std::string chunk(64 * 1024, 'x');
        bool sent = send_all(out.data(), out.size());
        while (sent && !stop_)
            sent = send_all(chunk.data(), chunk.size());
    } else if (reply.behaviour == B::kTrickle) {
        out += reply.body;
        for (std::size_t k = 0; k < out.size(); ++k) {
            if (!send_all(&out[k], 1) || !pause(reply.delay_ms))
                break;
        }
    } else {
        out += reply.body;
        send_all(out.data(), out.size());
    }
    shutdown(fd, SHUT_WR);
    pause(200);  // lets the client read to the end before the close
    close(fd);
}

}  // namespace vorn::testing
