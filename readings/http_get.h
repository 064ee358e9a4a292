// One HTTP(S) GET, bounded in time and in body size. Linux builds it on libcurl
// (http_get_curl.cpp), Windows on WinHTTP (http_get_winhttp.cpp); this header is shared and
// names no type of either. Safe to call from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::readings {

// Lets another thread cut short the requests made with it: Cancel ends the ones in flight at
// once and makes every later one fail before it starts. Thread-safe.
class HttpCancel {
public:
    void Cancel();
    bool cancelled() const;

    // For the clients: while registered under `key`, `abort` is what Cancel calls (under the
    // token's lock) to end the request's wait. False, with nothing registered, once cancelled.
    bool Register(std::uintptr_t key, std::function<void()> abort);
    // True when `key` was still registered, false when Cancel has run its abort meanwhile.
    bool Unregister(std::uintptr_t key);

private:
    mutable std::mutex mutex_;
    bool cancelled_ = false;
    std::vector<std::pair<std::uintptr_t, std::function<void()>>> aborts_;
};

struct HttpRequest {
    std::string url;                  // http:// or https://; may carry user:password@
    std::string user, password;       // Basic credentials; when set they win over the URL's
    int timeout_ms = 2000;            // the whole exchange, connection included
    int connect_timeout_ms = 0;       // the connection alone; 0 = timeout_ms
    std::size_t max_body = 8u << 20;  // a longer body aborts the transfer
    int max_redirects = 3;            // more redirects than this fail the request
    HttpCancel* cancel = nullptr;     // when given, Cancel on it ends the request (not owned)
};

struct HttpResult {
    bool ok = false;           // status 2xx and the body within bounds
    long status = 0;           // the final HTTP status, 0 when none arrived
    std::string content_type;  // as the server sent it, may be empty
    std::string body;          // what arrived (cut at max_body)
    std::string error;         // why ok is false: one short phrase, without credentials
};

// Performs the GET; never throws, never waits longer than the request's time-out. Once the
// request's HttpCancel is cancelled it fails with "cancelled", at once.
HttpResult HttpGet(const HttpRequest& request);

// The URL with characters that may not stand in a request line (space, quotes, braces,
// brackets, bytes past ASCII...) percent-encoded; "%XX" already there is kept, so
// "/federate?match[]={job=\"node\"}" becomes a URL every client accepts.
std::string EncodeUrl(std::string_view url);

// `text` with every "%XX" turned back into its byte (a URL's user or password part).
std::string DecodePercent(std::string_view text);

// The URL with a password in it replaced by "***", for logs and the start line.
std::string RedactUrl(std::string_view url);

// The URL without its "user:password@" part (credentials from the configuration replace it).
std::string WithoutUserInfo(std::string_view url);

// True when the URL starts with "http://" or "https://" (any case) and names a host.
bool IsHttpUrl(std::string_view url);

}  // namespace vorn::readings
