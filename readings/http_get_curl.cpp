// HttpGet on libcurl. Each call has its own easy handle, so calls on several threads do not
// share state; the library itself is initialised once. Signals are never used for time-outs
// (CURLOPT_NOSIGNAL), as the caller is a background thread of a daemon.
//
// libcurl is loaded on the first GET rather than linked: with it come some thirty shared
// libraries (TLS, HTTP/2, Kerberos, LDAP...) whose pages would quadruple the resident set of
// every agent, though most read hwmon and never make a request.
#include <curl/curl.h>
#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

#include "readings/http_get.h"

namespace vorn::readings {

namespace {

// The few libcurl functions used here, resolved from the loaded library.
struct Curl {
    decltype(&curl_global_init) global_init = nullptr;
    decltype(&curl_easy_init) easy_init = nullptr;
    decltype(&curl_easy_setopt) easy_setopt = nullptr;
    decltype(&curl_easy_perform) easy_perform = nullptr;
    decltype(&curl_easy_getinfo) easy_getinfo = nullptr;
    decltype(&curl_easy_strerror) easy_strerror = nullptr;
    decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&curl_slist_append) slist_append = nullptr;
    decltype(&curl_slist_free_all) slist_free_all = nullptr;
};

template <typename F>
bool Resolve(void* library, const char* name, F* out) {
    *out = reinterpret_cast<F>(dlsym(library, name));
    return *out != nullptr;
}

// libcurl, loaded and initialised once for the process (never unloaded); null when it cannot
// be loaded.
const Curl* LoadCurl() {
    static Curl curl;
    static bool loaded = false;
    static std::once_flag once;
    std::call_once(once, [] {
        void* library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (!library)
            return;
        loaded = Resolve(library, "curl_global_init", &curl.global_init) &&
                 Resolve(library, "curl_easy_init", &curl.easy_init) &&
                 Resolve(library, "curl_easy_setopt", &curl.easy_setopt) &&
                 Resolve(library, "curl_easy_perform", &curl.easy_perform) &&
                 Resolve(library, "curl_easy_getinfo", &curl.easy_getinfo) &&
                 Resolve(library, "curl_easy_strerror", &curl.easy_strerror) &&
                 Resolve(library, "curl_easy_cleanup", &curl.easy_cleanup) &&
                 Resolve(library, "curl_slist_append", &curl.slist_append) &&
                 Resolve(library, "curl_slist_free_all", &curl.slist_free_all) &&
                 curl.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    });
    return loaded ? &curl : nullptr;
}

struct Transfer {
    HttpResult* result;
    std::size_t max_body;
    HttpCancel* cancel;
    bool too_long = false;
};

// The transfer's sockets are opened here so that a cancel can shut them from another thread:
// a shut socket wakes libcurl's wait at once. The token's lock orders the shutdown before the
// close, so a descriptor number is never shut after its reuse.
curl_socket_t OpenSocket(void* context, curlsocktype, curl_sockaddr* address) {
    Transfer* t = static_cast<Transfer*>(context);
    const int fd = socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0)
        return CURL_SOCKET_BAD;
    if (t->cancel &&
        !t->cancel->Register(static_cast<std::uintptr_t>(fd), [fd] { shutdown(fd, SHUT_RDWR); })) {
        close(fd);
        return CURL_SOCKET_BAD;
    }
    return fd;
}

int CloseSocket(void* context, curl_socket_t fd) {
    Transfer* t = static_cast<Transfer*>(context);
    if (t->cancel)
        t->cancel->Unregister(static_cast<std::uintptr_t>(fd));
    return close(fd);
}

// Called while the transfer waits (about once a second at least): ends it once cancelled, for
// the moments no socket is open yet (name resolution).
int OnProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const Transfer* t = static_cast<const Transfer*>(context);
    return t->cancel && t->cancel->cancelled() ? 1 : 0;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* context) {
    Transfer* t = static_cast<Transfer*>(context);
    const std::size_t n = size * count;
    if (t->result->body.size() + n > t->max_body) {
        t->too_long = true;
        return 0;  // aborts the transfer
    }
    t->result->body.append(data, n);
    return n;
}

std::string Describe(const Curl& api, CURLcode code, const char* detail, const HttpRequest& request,
                     const Transfer& transfer) {
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return "no complete answer within " + std::to_string(request.timeout_ms) + " ms";
        case CURLE_COULDNT_CONNECT:
            return "cannot connect";
        case CURLE_COULDNT_RESOLVE_HOST:
            return "unknown host";
        case CURLE_TOO_MANY_REDIRECTS:
            return "more than " + std::to_string(request.max_redirects) + " redirects";
        case CURLE_FILESIZE_EXCEEDED:
        case CURLE_WRITE_ERROR:
            if (transfer.too_long || code == CURLE_FILESIZE_EXCEEDED)
                return "the answer is longer than " + std::to_string(request.max_body) + " bytes";
            break;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return "not an http or https URL";
        case CURLE_URL_MALFORMAT:
            return "the URL is malformed";
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CACERT_BADFILE:
            // Says which certificate check failed; the text does not change between tries.
            if (*detail)
                return detail;
            break;
        default:
            break;
    }
    // The library's fixed phrase: the detail buffer may carry times that differ at each try,
    // and the caller reports a problem again only when its text changes.
    return api.easy_strerror(code);
}

}  // namespace

HttpResult HttpGet(const HttpRequest& request) {
    HttpResult result;
    if (request.cancel && request.cancel->cancelled()) {
        result.error = "cancelled";
        return result;
    }
    const Curl* api = LoadCurl();
    if (!api) {
        result.error = "libcurl cannot be loaded (install libcurl4)";
        return result;
    }
    CURL* curl = api->easy_init();
    if (!curl) {
        result.error = "cannot start an HTTP client";
        return result;
    }
    Transfer transfer{&result, request.max_body, request.cancel};
    char detail[CURL_ERROR_SIZE] = {0};
    const bool own_credentials = !request.user.empty() || !request.password.empty();
    const std::string url = EncodeUrl(own_credentials ? WithoutUserInfo(request.url) : request.url);
    const long timeout = request.timeout_ms > 0 ? request.timeout_ms : 1;
    const long connect_timeout =
        request.connect_timeout_ms > 0 && request.connect_timeout_ms < timeout
            ? request.connect_timeout_ms
            : timeout;

    api->easy_setopt(curl, CURLOPT_URL, url.c_str());
    api->easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    api->easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);
    api->easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    api->easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    api->easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout);
    api->easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connect_timeout);
    api->easy_setopt(curl, CURLOPT_FOLLOWLOCATION, request.max_redirects > 0 ? 1L : 0L);
    api->easy_setopt(curl, CURLOPT_MAXREDIRS, static_cast<long>(request.max_redirects));
    api->easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.max_body));
    api->easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    api->easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    api->easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
    api->easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &transfer);
    api->easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, CloseSocket);
    api->easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, &transfer);
    api->easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
    api->easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    api->easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    // Compressed answers are welcome; the cap applies to what they expand to.
    api->easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
    api->easy_setopt(curl, CURLOPT_USERAGENT, "vornagent");
    if (own_credentials) {
        api->easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        api->easy_setopt(curl, CURLOPT_USERNAME, request.user.c_str());
        api->easy_setopt(curl, CURLOPT_PASSWORD, request.password.c_str());
    }
    curl_slist* headers =
        api->slist_append(nullptr, "Accept: text/plain;version=0.0.4;q=1, */*;q=0.1");
    api->easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

    const CURLcode code = api->easy_perform(curl);
    api->easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    char* content_type = nullptr;
    if (api->easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &content_type) == CURLE_OK && content_type)
        result.content_type = content_type;
    if (request.cancel && request.cancel->cancelled()) {
        result.error = "cancelled";
    } else if (code != CURLE_OK) {
        result.error = Describe(*api, code, detail, request, transfer);
    } else if (result.status < 200 || result.status > 299) {
        result.error = "HTTP status " + std::to_string(result.status);
    } else {
        result.ok = true;
    }
    api->slist_free_all(headers);
    api->easy_cleanup(curl);
    return result;
}

}  // namespace vorn::readings
