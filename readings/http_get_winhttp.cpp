// HttpGet on WinHTTP, the system's own HTTP stack (no DLL of ours to ship). Each call opens
// its own session, so calls on several threads share nothing. WinHTTP bounds each step
// (resolve, connect, send, receive) on its own; the whole exchange is bounded here by giving
// every receive only the time that is left.
#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

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

// True, with the result's error set, once the request's cancel has been asked for.
bool Cancelled(const HttpRequest& request, HttpResult* result) {
    if (!request.cancel || !request.cancel->cancelled())
        return false;
    result->error = "cancelled";
    return true;
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
    if (Cancelled(request, &result))
        return result;

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

    // The agent talks to exporters on this machine or its network: no system proxy.
    Handle session(WinHttpOpen(L"vornagent", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0));
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
    // A synchronous WinHTTP call cannot be interrupted (closing its handle from another thread
    // ends only asynchronous ones), so a cancel is looked at between the steps: a request in
    // flight ends at its time-out at the latest.
    if (Cancelled(request, &result))
        return result;
    if (!WinHttpSendRequest(http.get(), headers.data(), WideLength(headers),
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(http.get(), nullptr)) {
        result.error = Describe(GetLastError(), request);
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

    char buffer[16384];
    for (;;) {
        const int left = Remaining(deadline);
        if (left == 0) {
            result.error = Describe(ERROR_WINHTTP_TIMEOUT, request);
            return result;
        }
        DWORD receive_timeout = static_cast<DWORD>(left);
        WinHttpSetOption(http.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &receive_timeout,
                         sizeof receive_timeout);
        if (Cancelled(request, &result))
            return result;
        DWORD got = 0;
        if (!WinHttpReadData(http.get(), buffer, sizeof buffer, &got)) {
            result.error = Describe(GetLastError(), request);
            return result;
        }
        if (got == 0)
            break;
        if (result.body.size() + got > request.max_body) {
            result.body.append(buffer, request.max_body - result.body.size());
            result.error = too_long;
            return result;
        }
        result.body.append(buffer, got);
    }
    if (result.status < 200 || result.status > 299) {
        result.error = "HTTP status " + std::to_string(result.status);
        return result;
    }
    result.ok = true;
    return result;
}

}  // namespace vorn::readings
