// A small HTTP/1.1 server on 127.0.0.1 for the tests and the benchmark: it answers every
// request with what a handler says, and can misbehave on purpose (hang, answer late, send
// an endless body, trickle). Each connection has its own thread; every wait is bounded and
// the destructor stops and joins them all.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorn::testing {

struct TestHttpRequest {
    std::string target;         // the request target as sent: "/metrics?x=1"
    std::string authorization;  // the Authorization header's value, or empty
};

struct TestHttpReply {
    enum class Behaviour {
        kAnswer,   // status, headers and body, then close
        kHang,     // read the request and never answer
        kDelay,    // answer after delay_ms
        kEndless,  // headers, then body bytes until the client gives up
        kTrickle,  // the answer one byte every delay_ms
    };
    Behaviour behaviour = Behaviour::kAnswer;
    int status = 200;
    std::string content_type = "text/plain; version=0.0.4; charset=utf-8";
    std::vector<std::string> headers;  // extra "Name: value" lines
    std::string body;
    int delay_ms = 0;
};

using TestHttpHandler = std::function<TestHttpReply(const TestHttpRequest&)>;

class TestHttpServer {
public:
    explicit TestHttpServer(TestHttpHandler handler);
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    // False when the listening socket could not be made.
    bool ok() const { return listen_fd_ >= 0; }
    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:PORT" followed by `path`.
    std::string Url(const std::string& path) const;
    // Swaps the handler; connections from now on use the new one.
    void SetHandler(TestHttpHandler handler);
    // Every request seen so far.
    std::vector<TestHttpRequest> requests() const;

    // A reply that answers `body` with status 200 as exposition text.
    static TestHttpHandler Serve(std::string body);

private:
    void AcceptLoop();
    void Serve(int fd);

    int listen_fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    TestHttpHandler handler_;
    std::vector<TestHttpRequest> requests_;
    struct Connection {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Connection> connections_;  // the acceptor's alone until the destructor
    std::thread acceptor_;
};

}  // namespace vorn::testing
