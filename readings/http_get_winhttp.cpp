// HttpGet on WinHTTP, the system's own HTTP stack (no DLL of ours to ship). Each call opens
// its own session, so calls on several threads share nothing. The session is asynchronous:
// only an asynchronous request ends when its handle is closed, so the calling thread starts
// each step (send, receive the head, read) and waits for its completion, for the request's
// cancel and for the whole exchange's deadline at once; a cancel or the deadline closes the
// handles and the call returns without waiting for WinHTTP. WinHTTP's own per-step time-outs
// stay set, so a request it abandons itself reads the same as one left at the deadline.
#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "readings/http_get.h"

namespace vorn::readings {

namespace {

using Clock = std::chrono::steady_clock;

// Closes a WinHTTP handle when it goes out of scope.
class Handle {
public:
    explicit Handle(HINTERNET h) : h_(h) {}
    ~Handle() {
        if (h_)
            WinHttpCloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HINTERNET get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    HINTERNET h_;
};

// UTF-16 text for WinHTTP, NUL-terminated. A vector rather than std::wstring, whose library
// instantiation alone weighs some 35 KB in the static agent.
using WideText = std::vector<wchar_t>;

WideText Widen(const std::string& s) {
    const int n = s.empty() ? 0
                            : MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()),
                                                  nullptr, 0);
    WideText w(static_cast<std::size_t>(n > 0 ? n : 0) + 1, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

// Characters of `w` before its terminator.
DWORD WideLength(const WideText& w) {
    return static_cast<DWORD>(w.size() - 1);
}

std::string Narrow(const wchar_t* w, std::size_t length) {
    if (!w || length == 0)
        return std::string();
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(length), &s[0], n, nullptr, nullptr);
    return s;
}

std::string Base64(const std::string& in) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(in[i]) << 16 |
                           static_cast<unsigned char>(in[i + 1]) << 8 |
                           static_cast<unsigned char>(in[i + 2]);
        out += kDigits[v >> 18 & 63];
        out += kDigits[v >> 12 & 63];
        out += kDigits[v >> 6 & 63];
        out += kDigits[v & 63];
    }
    if (i < in.size()) {
        const bool two = i + 1 < in.size();
        const unsigned v = static_cast<unsigned char>(in[i]) << 16 |
                           (two ? static_cast<unsigned char>(in[i + 1]) << 8 : 0u);
        out += kDigits[v >> 18 & 63];
        out += kDigits[v >> 12 & 63];
        out += two ? kDigits[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

std::string Describe(DWORD error, const HttpRequest& request) {
    switch (error) {
        case ERROR_WINHTTP_TIMEOUT:
        case WSAETIMEDOUT:  // Wine's WinHTTP passes the socket's own error on
            return "no complete answer within " + std::to_string(request.timeout_ms) + " ms";
        case ERROR_WINHTTP_CANNOT_CONNECT:
        case ERROR_WINHTTP_CONNECTION_ERROR:
        case WSAECONNREFUSED:
        case WSAECONNRESET:
            return "cannot connect";
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            return "unknown host";
        case ERROR_WINHTTP_REDIRECT_FAILED:
            return "more than " + std::to_string(request.max_redirects) + " redirects";
        case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
            return "not an http or https URL";
        case ERROR_WINHTTP_INVALID_URL:
            return "the URL is malformed";
        case ERROR_WINHTTP_SECURE_FAILURE:
            return "the server's certificate is not trusted";
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
            return "the answer is not HTTP";
        default:
            return "HTTP error " + std::to_string(error);
    }
}

std::string QueryText(HINTERNET request, DWORD what) {
    DWORD bytes = 0;
    WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &bytes, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0)
        return std::string();
    WideText text(bytes / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &bytes,
                             WINHTTP_NO_HEADER_INDEX)) {
        return std::string();
    }
    return Narrow(text.data(), bytes / sizeof(wchar_t));
}

bool QueryNumber(HINTERNET request, DWORD what, DWORD* out) {
    DWORD bytes = sizeof *out;
    return WinHttpQueryHeaders(request, what | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, out, &bytes,
                               WINHTTP_NO_HEADER_INDEX) != FALSE;
}

int Remaining(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// What the calling thread and WinHTTP's callback share for one request. It lives on the heap
// with two references: the caller's, and the request handle's, which WinHTTP gives back with
// the handle's last notification (HANDLE_CLOSING). A call that returns on a cancel or at the
// deadline closes the handle while a step may still be pending, and WinHTTP may then still
// complete that step into the buffer or report it here: both stay valid until then.
class Exchange {
public:
    static Exchange* Make() {
        HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!done)
            return nullptr;
        return new Exchange(done);
    }

    void Retain() { references_.fetch_add(1); }
    void Release() {
        if (references_.fetch_sub(1) == 1)
            delete this;
    }

    // The step in progress ended: `error` is 0 when it succeeded, `bytes` what a read brought.
    void Complete(DWORD error, DWORD bytes) {
        error_ = error;
        bytes_ = bytes;
        SetEvent(done_);
    }

    HANDLE done() const { return done_; }
    DWORD error() const { return error_; }
    DWORD bytes() const { return bytes_; }
    char* buffer() { return buffer_; }
    static constexpr DWORD kBufferSize = 16384;

private:
    explicit Exchange(HANDLE done) : done_(done) {}
    ~Exchange() { CloseHandle(done_); }

    std::atomic<int> references_{1};
    HANDLE done_;  // auto-reset: one completion per step
    // Written by the callback before done_ is set, read by the caller after its wait.
    DWORD error_ = 0;
    DWORD bytes_ = 0;
    char buffer_[kBufferSize];
};

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD length) {
    Exchange* exchange = reinterpret_cast<Exchange*>(context);
    if (!exchange)
        return;
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            exchange->Complete(0, 0);
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            exchange->Complete(0, length);
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
            const DWORD error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
            exchange->Complete(error ? error : ERROR_WINHTTP_INTERNAL_ERROR, 0);
            break;
        }
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            exchange->Release();  // the last notification for the request handle
            break;
        default:
            break;
    }
}

// Holds the caller's reference to an Exchange.
class ExchangeRef {
public:
    explicit ExchangeRef(Exchange* exchange) : exchange_(exchange) {}
    ~ExchangeRef() {
        if (exchange_)
            exchange_->Release();
    }
    ExchangeRef(const ExchangeRef&) = delete;
    ExchangeRef& operator=(const ExchangeRef&) = delete;
    Exchange* get() const { return exchange_; }
    Exchange* operator->() const { return exchange_; }
    explicit operator bool() const { return exchange_ != nullptr; }

private:
    Exchange* exchange_;
};

// An event the request's HttpCancel sets from the cancelling thread; no event without a token.
class CancelEvent {
public:
    explicit CancelEvent(HttpCancel* cancel) : cancel_(cancel) {
        if (!cancel_)
            return;
        event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!event_)
            return;
        HANDLE event = event_;
        registered_ = cancel_->Register(Key(), [event] { SetEvent(event); });
    }
    ~CancelEvent() {
        // Unregister takes the token's lock, under which Cancel sets the event: once it returns
        // nobody sets the event any more and it can go.
        if (registered_)
            cancel_->Unregister(Key());
        if (event_)
            CloseHandle(event_);
    }
    CancelEvent(const CancelEvent&) = delete;
    CancelEvent& operator=(const CancelEvent&) = delete;

    // False when the token was cancelled already (or no event could be made for it).
    bool usable() const { return !cancel_ || registered_; }
    HANDLE event() const { return event_; }

private:
    std::uintptr_t Key() const { return reinterpret_cast<std::uintptr_t>(event_); }

    HttpCancel* cancel_;
    HANDLE event_ = nullptr;
    bool registered_ = false;
};

enum class Wait { kCompleted, kCancelled, kTimedOut };

// Waits for the step in progress to complete, the request to be cancelled or the deadline.
Wait Await(const Exchange& exchange, const CancelEvent& cancel, Clock::time_point deadline) {
    const HANDLE events[2] = {cancel.event(), exchange.done()};
    const DWORD first = cancel.event() ? 0 : 1;
    const DWORD woke = WaitForMultipleObjects(2 - first, events + first, FALSE,
                                              static_cast<DWORD>(Remaining(deadline)));
    if (woke == WAIT_OBJECT_0 && first == 0)
        return Wait::kCancelled;  // looked at first: a cancel wins over a step that also ended
    if (woke == WAIT_OBJECT_0 + (1 - first))
        return Wait::kCompleted;
    return Wait::kTimedOut;  // WAIT_TIMEOUT, or a wait that failed: leave the request either way
}

}  // namespace

HttpResult HttpGet(const HttpRequest& request) {
    HttpResult result;
    const int timeout = request.timeout_ms > 0 ? request.timeout_ms : 1;
    const int connect_timeout =
        request.connect_timeout_ms > 0 && request.connect_timeout_ms < timeout
            ? request.connect_timeout_ms
            : timeout;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
    if (!IsHttpUrl(request.url)) {
        result.error = "not an http or https URL";
        return result;
    }
    const CancelEvent cancel(request.cancel);
    if (request.cancel && request.cancel->cancelled()) {
        result.error = "cancelled";
        return result;
    }

    const WideText url = Widen(EncodeUrl(request.url));
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength =
        parts.dwExtraInfoLength = parts.dwUserNameLength = parts.dwPasswordLength =
            static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.data(), WideLength(url), 0, &parts) || parts.dwHostNameLength == 0) {
        result.error = "the URL is malformed";
        return result;
    }
    WideText host(parts.lpszHostName, parts.lpszHostName + parts.dwHostNameLength);
    host.push_back(L'\0');
    WideText path;
    if (parts.lpszUrlPath)
        path.insert(path.end(), parts.lpszUrlPath, parts.lpszUrlPath + parts.dwUrlPathLength);
    if (parts.lpszExtraInfo) {
        path.insert(path.end(), parts.lpszExtraInfo, parts.lpszExtraInfo + parts.dwExtraInfoLength);
    }
    if (path.empty())
        path.push_back(L'/');
    path.push_back(L'\0');
    std::string user = request.user, password = request.password;
    if (user.empty() && password.empty()) {
        user = DecodePercent(Narrow(parts.lpszUserName, parts.dwUserNameLength));
        password = DecodePercent(Narrow(parts.lpszPassword, parts.dwPasswordLength));
    }

    // Declared before the handles, so that the caller's reference goes after they are closed.
    const ExchangeRef exchange(Exchange::Make());
    // The agent talks to exporters on this machine or its network: no system proxy.
    Handle session(exchange && cancel.usable()
                       ? WinHttpOpen(L"vornagent", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                     WINHTTP_FLAG_ASYNC)
                       : nullptr);
    if (!session) {
        result.error = "cannot start an HTTP client";
        return result;
    }
    WinHttpSetTimeouts(session.get(), timeout, connect_timeout, timeout, timeout);
    Handle connection(WinHttpConnect(session.get(), host.data(), parts.nPort, 0));
    if (!connection) {
        result.error = Describe(GetLastError(), request);
        return result;
    }
    const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    Handle http(WinHttpOpenRequest(connection.get(), L"GET", path.data(), nullptr,
                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                   flags | WINHTTP_FLAG_ESCAPE_DISABLE));
    if (!http) {
        result.error = Describe(GetLastError(), request);
        return result;
    }
    // The request handle takes its reference to the exchange with the callback, and gives it
    // back with HANDLE_CLOSING, which WinHTTP sends only for a handle with a context.
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(exchange.get());
    exchange->Retain();
    if (!WinHttpSetOption(http.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) ||
        WinHttpSetStatusCallback(
            http.get(), OnStatus,
            WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
            0) == WINHTTP_INVALID_STATUS_CALLBACK) {
        exchange->Release();
        result.error = "cannot start an HTTP client";
        return result;
    }
    if (request.max_redirects > 0) {
        DWORD redirects = static_cast<DWORD>(request.max_redirects);
        WinHttpSetOption(http.get(), WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects,
                         sizeof redirects);
    } else {
        DWORD off = WINHTTP_DISABLE_REDIRECTS;
        WinHttpSetOption(http.get(), WINHTTP_OPTION_DISABLE_FEATURE, &off, sizeof off);
    }

    // The wait for the answer's head has a time-out of its own (WinHttpSetTimeouts does not
    // set it everywhere): the time that is left.
    DWORD head_timeout = static_cast<DWORD>(Remaining(deadline) > 0 ? Remaining(deadline) : 1);
    WinHttpSetOption(http.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &head_timeout,
                     sizeof head_timeout);
    WinHttpSetOption(http.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &head_timeout,
                     sizeof head_timeout);

    std::string head = "Accept: text/plain;version=0.0.4;q=1, */*;q=0.1\r\n";
    if (!user.empty() || !password.empty()) {
        // Sent with the first request (as curl does), not only after a challenge.
        head += "Authorization: Basic " + Base64(user + ":" + password) + "\r\n";
    }
    const WideText headers = Widen(head);

    // One asynchronous step: `started` is what the call that began it returned. False, with
    // the result's error set, when it failed, was cancelled or ran past the deadline; the
    // handles' destructors then end whatever is still pending.
    auto step = [&](BOOL started) {
        if (!started) {
            result.error = Describe(GetLastError(), request);
            return false;
        }
        switch (Await(*exchange.get(), cancel, deadline)) {
            case Wait::kCancelled:
                result.error = "cancelled";
                return false;
            case Wait::kTimedOut:
                result.error = Describe(ERROR_WINHTTP_TIMEOUT, request);
                return false;
            case Wait::kCompleted:
                break;
        }
        if (exchange->error() != 0) {
            result.error = Describe(exchange->error(), request);
            return false;
        }
        return true;
    };
    if (!step(WinHttpSendRequest(http.get(), headers.data(), WideLength(headers),
                                 WINHTTP_NO_REQUEST_DATA, 0, 0, context)) ||
        !step(WinHttpReceiveResponse(http.get(), nullptr))) {
        return result;
    }
    DWORD status = 0;
    if (QueryNumber(http.get(), WINHTTP_QUERY_STATUS_CODE, &status))
        result.status = static_cast<long>(status);
    result.content_type = QueryText(http.get(), WINHTTP_QUERY_CONTENT_TYPE);
    DWORD announced = 0;
    const std::string too_long =
        "the answer is longer than " + std::to_string(request.max_body) + " bytes";
    if (QueryNumber(http.get(), WINHTTP_QUERY_CONTENT_LENGTH, &announced) &&
        announced > request.max_body) {
        result.error = too_long;
        return result;
    }

    for (;;) {
        const int left = Remaining(deadline);
        if (left == 0) {
            result.error = Describe(ERROR_WINHTTP_TIMEOUT, request);
            return result;
        }
        DWORD receive_timeout = static_cast<DWORD>(left);
        WinHttpSetOption(http.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &receive_timeout,
                         sizeof receive_timeout);
        // The buffer is the exchange's: a read still pending after a cancel fills it safely.
        if (!step(
                WinHttpReadData(http.get(), exchange->buffer(), Exchange::kBufferSize, nullptr))) {
            return result;
        }
        const DWORD got = exchange->bytes();
        if (got == 0)
            break;
        if (result.body.size() + got > request.max_body) {
            result.body.append(exchange->buffer(), request.max_body - result.body.size());
            result.error = too_long;
            return result;
        }
        result.body.append(exchange->buffer(), got);
    }
    if (request.cancel && request.cancel->cancelled()) {
        result.error = "cancelled";
        return result;
    }
    if (result.status < 200 || result.status > 299) {
        result.error = "HTTP status " + std::to_string(result.status);
        return result;
    }
    result.ok = true;
    return result;
}

}  // namespace vorn::readings
