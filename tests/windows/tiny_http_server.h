// A small HTTP server for the Windows tests, on 127.0.0.1: one thread, one connection at a
// time, every request answered with the response set last (or made slow, for time-outs).
// Stops by itself when destroyed.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace vorn::testing {

class TinyHttpServer {
public:
    struct Response {
        int status = 200;
        std::string content_type = "text/plain; version=0.0.4";
        std::string body;
        int delay_ms = 0;  // wait this long before answering
    };

    TinyHttpServer() = default;
    ~TinyHttpServer();
    TinyHttpServer(const TinyHttpServer&) = delete;
    TinyHttpServer& operator=(const TinyHttpServer&) = delete;

    // Listens on 127.0.0.1:`port` (0: a free one); false when the port cannot be had.
    bool Start(unsigned short port = 0);
    void Stop();
    unsigned short port() const { return port_; }
    std::string Url(const std::string& path = "/metrics") const;

    void SetResponse(const Response& response);
    // The last request's head (request line and headers), and how many requests came.
    std::string LastRequest() const;
    int Requests() const { return requests_.load(); }

private:
    void Serve();

    std::uintptr_t listener_ = ~std::uintptr_t{0};  // a SOCKET
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    mutable std::mutex mutex_;
    Response response_;
    std::string last_request_;
    std::thread thread_;
};

}  // namespace vorn::testing
