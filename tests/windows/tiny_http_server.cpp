#include "tests/windows/tiny_http_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdint>

namespace vorn::testing {

namespace {

constexpr int kPollMs = 50;  // how often the serving thread looks at the stop flag
constexpr std::size_t kMaxHead = 16384;

const char* Reason(int status) {
    return status == 200   ? "OK"
           : status == 401 ? "Unauthorized"
           : status == 404 ? "Not Found"
                           : "Status";
}

bool Readable(SOCKET s, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &tv) == 1;
}

}  // namespace

TinyHttpServer::~TinyHttpServer() {
    Stop();
}

bool TinyHttpServer::Start(unsigned short port) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return false;
    BOOL exclusive = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 8) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        closesocket(s);
        return false;
    }
    listener_ = s;
    port_ = ntohs(a.sin_port);
    stop_ = false;
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void TinyHttpServer::Stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listener_ != ~std::uintptr_t{0})
        closesocket(static_cast<SOCKET>(listener_));
    listener_ = ~std::uintptr_t{0};
}

std::string TinyHttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void TinyHttpServer::SetResponse(const Response& response) {
    std::lock_guard<std::mutex> lock(mutex_);
    response_ = response;
}

std::string TinyHttpServer::LastRequest() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_request_;
}

void TinyHttpServer::Serve() {
    const SOCKET listener = static_cast<SOCKET>(listener_);
    while (!stop_) {
        if (!Readable(listener, kPollMs))
            continue;
        SOCKET c = accept(listener, nullptr, nullptr);
        if (c == INVALID_SOCKET)
            continue;
        std::string head;
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxHead && !stop_ &&
               std::chrono::steady_clock::now() < give_up) {
            if (!Readable(c, kPollMs))
                continue;
            char buf[2048];
            const int n = recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            head.append(buf, static_cast<std::size_t>(n));
        }
        Response r;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            last_request_ = head;
            r = response_;
        }
        ++requests_;
        for (int waited = 0; waited < r.delay_ms && !stop_; waited += kPollMs)
            Sleep(kPollMs);
        std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + Reason(r.status) +
                          "\r\nContent-Type: " + r.content_type +
                          "\r\nContent-Length: " + std::to_string(r.body.size()) +
                          "\r\nConnection: close\r\n\r\n" + r.body;
        std::size_t sent = 0;
        while (sent < out.size() && !stop_) {
            const int n = send(c, out.data() + sent, static_cast<int>(out.size() - sent), 0);
            if (n <= 0)
                break;
            sent += static_cast<std::size_t>(n);
        }
        shutdown(c, SD_SEND);
        closesocket(c);
    }
}

}  // namespace vorn::testing
