#include "agent/metrics_http.h"

#include "readings/text.h"

namespace vorn::agent {

using readings::EqualsIgnoringCase;

namespace {

// RFC 9110 token characters, for methods and header names.
bool IsTokenChar(unsigned char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    switch (c) {
        case '!':
        case '#':
        case '$':
        case '%':
        case '&':
        case '\'':
        case '*':
        case '+':
        case '-':
        case '.':
        case '^':
        case '_':
        case '`':
        case '|':
        case '~':
            return true;
        default:
            return false;
    }
}

bool IsToken(std::string_view s) {
    if (s.empty())
        return false;
    for (unsigned char c : s) {
        if (!IsTokenChar(c))
            return false;
    }
    return true;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

const char* ReasonPhrase(HttpStatus status) {
    switch (status) {
        case HttpStatus::kOk:
            return "OK";
        case HttpStatus::kBadRequest:
            return "Bad Request";
        case HttpStatus::kNotFound:
            return "Not Found";
        case HttpStatus::kMethodNotAllowed:
            return "Method Not Allowed";
        case HttpStatus::kRequestTimeout:
            return "Request Timeout";
        case HttpStatus::kHeaderFieldsTooLarge:
            return "Request Header Fields Too Large";
        case HttpStatus::kServiceUnavailable:
            return "Service Unavailable";
    }
    return "Error";
}

const char* ErrorBody(HttpStatus status) {
    switch (status) {
        case HttpStatus::kBadRequest:
            return "bad request\n";
        case HttpStatus::kNotFound:
            return "not found: this agent serves GET and HEAD /metrics only\n";
        case HttpStatus::kMethodNotAllowed:
            return "method not allowed: use GET or HEAD\n";
        case HttpStatus::kRequestTimeout:
            return "the request did not arrive in time\n";
        case HttpStatus::kHeaderFieldsTooLarge:
            return "the request head is too large\n";
        case HttpStatus::kServiceUnavailable:
            return "too many connections, try again\n";
        case HttpStatus::kOk:
            break;
    }
    return "";
}

}  // namespace

const char kExpositionContentType[] = "text/plain; version=0.0.4; charset=utf-8";

RequestVerdict RequestReader::Feed(std::string_view bytes) {
    for (const char ch : bytes) {
        if (verdict_ != RequestVerdict::kIncomplete)
            break;
        const auto c = static_cast<unsigned char>(ch);
        if (++consumed_ > kMaxRequestHead) {
            consumed_ = kMaxRequestHead;
            verdict_ = RequestVerdict::kTooLarge;
            break;
        }
        const bool after_cr = !line_.empty() && line_.back() == '\r';
        if (c == '\n') {
            if (after_cr)
                line_.pop_back();
            verdict_ = Line(line_);
            line_.clear();
            continue;
        }
        // A CR anywhere but before the LF, a control character, or a byte above ASCII in the
        // request line (header values may carry them, as obsolete text) ends the reading.
        const bool control = (c < 0x20 && c != '\t' && c != '\r') || c == 0x7F;
        if (after_cr || control || (c >= 0x80 && !seen_request_line_)) {
            verdict_ = RequestVerdict::kMalformed;
            break;
        }
        line_.push_back(ch);
    }
    return verdict_;
}

RequestVerdict RequestReader::Line(std::string_view line) {
    if (!seen_request_line_) {
        // Blank lines before the request line are tolerated, as clients may send one.
        return line.empty() ? RequestVerdict::kIncomplete : RequestLine(line);
    }
    return line.empty() ? End() : Header(line);
}

RequestVerdict RequestReader::RequestLine(std::string_view line) {
    seen_request_line_ = true;
    const std::size_t first = line.find(' ');
    if (first == std::string_view::npos)
        return RequestVerdict::kMalformed;
    const std::size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos)
        return RequestVerdict::kMalformed;
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    if (!IsToken(method) || target.empty() || target[0] != '/' || target.find('\t') != target.npos)
        return RequestVerdict::kMalformed;
    if (version == "HTTP/1.1")
        http11_ = true;
    else if (version != "HTTP/1.0")
        return RequestVerdict::kMalformed;
    metrics_path_ = target.substr(0, target.find('?')) == "/metrics";
    // HEAD is GET without the body, and is answered wherever GET is.
    head_ = method == "HEAD";
    get_ = method == "GET" || head_;
    return RequestVerdict::kIncomplete;
}

RequestVerdict RequestReader::Header(std::string_view line) {
    const std::size_t colon = line.find(':');
    // A name must be a token: no blank before the colon, no folded continuation line.
    if (colon == std::string_view::npos || !IsToken(line.substr(0, colon)))
        return RequestVerdict::kMalformed;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (EqualsIgnoringCase(name, "Host")) {
        ++hosts_;
    } else if (EqualsIgnoringCase(name, "Content-Length")) {
        if (value.empty())
            return RequestVerdict::kMalformed;
        for (const char c : value) {
            if (c < '0' || c > '9')
                return RequestVerdict::kMalformed;
            if (c != '0')
                body_ = true;
        }
    } else if (EqualsIgnoringCase(name, "Transfer-Encoding")) {
        body_ = true;
    }
    return RequestVerdict::kIncomplete;
}

RequestVerdict RequestReader::End() const {
    if (hosts_ > 1 || (http11_ && hosts_ == 0))
        return RequestVerdict::kMalformed;
    if (!metrics_path_)
        return RequestVerdict::kNotFound;
    if (!get_)
        return RequestVerdict::kMethodNotAllowed;
    // A GET carries no body here; one that says it does is not read, so it is refused.
    return body_ ? RequestVerdict::kMalformed : RequestVerdict::kMetrics;
}

HttpStatus StatusFor(RequestVerdict verdict) {
    switch (verdict) {
        case RequestVerdict::kMetrics:
            return HttpStatus::kOk;
        case RequestVerdict::kNotFound:
            return HttpStatus::kNotFound;
        case RequestVerdict::kMethodNotAllowed:
            return HttpStatus::kMethodNotAllowed;
        case RequestVerdict::kMalformed:
            return HttpStatus::kBadRequest;
        case RequestVerdict::kTooLarge:
            return HttpStatus::kHeaderFieldsTooLarge;
        case RequestVerdict::kIncomplete:
            break;
    }
    return HttpStatus::kRequestTimeout;
}

std::string HttpResponse(HttpStatus status, std::string_view body, bool head_only) {
    const bool ok = status == HttpStatus::kOk;
    if (!ok && body.empty())
        body = ErrorBody(status);
    std::string out;
    out.reserve(160 + body.size());
    out += "HTTP/1.1 ";
    out += std::to_string(static_cast<int>(status));
    out += ' ';
    out += ReasonPhrase(status);
    out += "\r\nContent-Type: ";
    out += ok ? kExpositionContentType : "text/plain; charset=utf-8";
    out += "\r\nContent-Length: ";
    out += std::to_string(body.size());
    if (status == HttpStatus::kMethodNotAllowed)
        out += "\r\nAllow: GET, HEAD";
    out += "\r\nConnection: close\r\n\r\n";
    if (!head_only)
        out += body;
    return out;
}

}  // namespace vorn::agent
