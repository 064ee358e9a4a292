// The HTTP side of the metrics endpoint, over bytes only (no sockets): a strict reader for the
// one request it answers, "GET /metrics" or "HEAD /metrics" (a query string is accepted and
// ignored, so scrape configurations with params work), and the responses it writes. One request per
// connection: the response always says "Connection: close" and nothing after the request head is
// read.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vorn::agent {

// What a request head comes to. kIncomplete: nothing wrong yet, more bytes needed.
enum class RequestVerdict {
    kIncomplete,
    kMetrics,           // GET or HEAD /metrics: answer with the exposition (HEAD: its head)
    kNotFound,          // a well-formed request for another path: 404
    kMethodNotAllowed,  // /metrics with another method: 405 with "Allow: GET, HEAD"
    kMalformed,         // not a request this reader takes: 400
    kTooLarge,          // the head does not end within kMaxRequestHead bytes: 431
};

// Request line and headers must fit in this many bytes, their blank line included.
constexpr std::size_t kMaxRequestHead = 8192;

// Reads a request head as it arrives, in pieces of any size, and decides as soon as the bytes
// allow: a line is checked as soon as it is complete, and a byte that may never appear
// (a control character, a non-ASCII byte in the request line) ends the reading at once. Lines
// end with CRLF or a bare LF. HTTP/1.0 and HTTP/1.1 are accepted; HTTP/1.1 needs exactly one
// Host header. A body (Content-Length other than 0, or any Transfer-Encoding) is refused.
// Work is linear in the bytes fed, whatever their split.
class RequestReader {
public:
    // Takes the next bytes of the connection. Once the verdict is no longer kIncomplete it
    // stays what it is and further bytes are ignored.
    RequestVerdict Feed(std::string_view bytes);

    RequestVerdict verdict() const { return verdict_; }

    // Bytes taken so far (at most kMaxRequestHead).
    std::size_t consumed() const { return consumed_; }

    // The request line said HEAD: the response is to carry no body.
    bool head() const { return head_; }

private:
    RequestVerdict Line(std::string_view line);
    RequestVerdict RequestLine(std::string_view line);
    RequestVerdict Header(std::string_view line);
    RequestVerdict End() const;

    RequestVerdict verdict_ = RequestVerdict::kIncomplete;
    std::size_t consumed_ = 0;
    std::string line_;  // the current line, without its end
    bool seen_request_line_ = false;
    bool metrics_path_ = false;
    bool get_ = false;
    bool head_ = false;
    bool http11_ = false;
    int hosts_ = 0;
    bool body_ = false;
};

// HTTP status codes the endpoint answers with.
enum class HttpStatus {
    kOk = 200,
    kBadRequest = 400,
    kNotFound = 404,
    kMethodNotAllowed = 405,
    kRequestTimeout = 408,
    kHeaderFieldsTooLarge = 431,
    kServiceUnavailable = 503,
};

// The status that answers a verdict (kIncomplete has none: kRequestTimeout, as a time-out ends it).
HttpStatus StatusFor(RequestVerdict verdict);

// The Content-Type of the exposition.
extern const char kExpositionContentType[];

// A whole response: status line, Content-Type, Content-Length, "Connection: close",
// "Allow: GET, HEAD" with 405, then `body`. An empty body for an error status gets a one-line
// reason. `head_only` (the answer to HEAD) leaves the body out but keeps its Content-Length.
std::string HttpResponse(HttpStatus status, std::string_view body = {}, bool head_only = false);

}  // namespace vorn::agent
