// The metrics endpoint's request reader and responses, over bytes.
#include <gtest/gtest.h>

#include <string>

#include "agent/metrics_http.h"

namespace vorn::agent {
namespace {

RequestVerdict Read(const std::string& bytes) {
    RequestReader reader;
    return reader.Feed(bytes);
}

// The same bytes fed one at a time: the verdict may not depend on how they arrive.
RequestVerdict ReadByteByByte(const std::string& bytes) {
    RequestReader reader;
    for (char c : bytes)
        reader.Feed(std::string_view(&c, 1));
    return reader.verdict();
}

const std::string kPrometheusScrape =
    "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:9100\r\nUser-Agent: Prometheus/2.42.0\r\n"
    "Accept: application/openmetrics-text;version=1.0.0,text/plain;version=0.0.4;q=0.5\r\n"
    "Accept-Encoding: gzip\r\nX-Prometheus-Scrape-Timeout-Seconds: 10\r\n\r\n";

TEST(MetricsRequest, AcceptsRealScrapesAndClientsWhatEverTheSplit) {
    const std::string accepted[] = {
        kPrometheusScrape,
        "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n",
        "GET /metrics HTTP/1.0\r\n\r\n",                               // 1.0 needs no Host
        "GET /metrics?format=prometheus HTTP/1.1\r\nHost: x\r\n\r\n",  // query ignored
        "GET /metrics HTTP/1.1\nHost: x\n\n",                          // bare LF line ends
        "\r\nGET /metrics HTTP/1.1\r\nHost: x\r\n\r\n",                // a stray blank line first
        "GET /metrics HTTP/1.1\r\nhOsT:x\r\nContent-Length: 0\r\n\r\n",
        "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Label: caf\xC3\xA9\t\r\n\r\n",  // obs-text
        "HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n",  // GET's headers without the body
    };
    for (const std::string& request : accepted) {
        EXPECT_EQ(Read(request), RequestVerdict::kMetrics) << request;
        EXPECT_EQ(ReadByteByByte(request), RequestVerdict::kMetrics) << request;
    }
}

TEST(MetricsRequest, OtherPathsAndMethodsAreTold) {
    EXPECT_EQ(Read("GET / HTTP/1.1\r\nHost: x\r\n\r\n"), RequestVerdict::kNotFound);
    EXPECT_EQ(Read("GET /metrics/ HTTP/1.1\r\nHost: x\r\n\r\n"), RequestVerdict::kNotFound);
    EXPECT_EQ(Read("GET /metricsx HTTP/1.1\r\nHost: x\r\n\r\n"), RequestVerdict::kNotFound);
    EXPECT_EQ(Read("GET /%6Detrics HTTP/1.1\r\nHost: x\r\n\r\n"), RequestVerdict::kNotFound);
    EXPECT_EQ(Read("POST /other HTTP/1.1\r\nHost: x\r\n\r\n"), RequestVerdict::kNotFound);
    EXPECT_EQ(Read("POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\n"),
              RequestVerdict::kMethodNotAllowed);
    EXPECT_EQ(Read("PUT /metrics HTTP/1.1\r\nHost: x\r\n\r\n"), RequestVerdict::kMethodNotAllowed);
    EXPECT_EQ(Read("head /metrics HTTP/1.1\r\nHost: x\r\n\r\n"), RequestVerdict::kMethodNotAllowed);
    EXPECT_EQ(Read("get /metrics HTTP/1.1\r\nHost: x\r\n\r\n"), RequestVerdict::kMethodNotAllowed);
}

TEST(MetricsRequest, GarbageIsMalformedAndBinaryIsRefusedAtOnce) {
    const std::string malformed[] = {
        "GET /metrics HTTP/1.1\r\n\r\n",                        // 1.1 without Host
        "GET /metrics HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n",  // two Hosts
        "GET /metrics HTTP/2.0\r\nHost: x\r\n\r\n",
        "GET /metrics\r\n\r\n",                       // HTTP/0.9 form
        "GET  /metrics HTTP/1.1\r\nHost: x\r\n\r\n",  // two spaces
        "GET /metrics HTTP/1.1 \r\nHost: x\r\n\r\n",
        "GET metrics HTTP/1.1\r\nHost: x\r\n\r\n",  // not origin form
        "GET http://x/metrics HTTP/1.1\r\nHost: x\r\n\r\n",
        "G(T /metrics HTTP/1.1\r\nHost: x\r\n\r\n",             // not a token
        "GET /metrics HTTP/1.1\r\nHost : x\r\n\r\n",            // blank before the colon
        "GET /metrics HTTP/1.1\r\nHost: x\r\n folded\r\n\r\n",  // obsolete line folding
        "GET /metrics HTTP/1.1\r\nHost x\r\n\r\n",
        "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\n",  // a body to GET
        "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n",
        "GET /metrics HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n",
        "GET /metrics HTTP/1.1\rHost: x\r\n\r\n",  // CR alone
    };
    for (const std::string& request : malformed) {
        EXPECT_EQ(Read(request), RequestVerdict::kMalformed) << request;
        EXPECT_EQ(ReadByteByByte(request), RequestVerdict::kMalformed) << request;
    }
    // Bytes that never belong in a request end the reading on the spot, not after a time-out.
    EXPECT_EQ(Read(std::string("\x16\x03\x01\x02\x00", 5)), RequestVerdict::kMalformed);  // TLS
    EXPECT_EQ(Read("GET /m\xC3\xA9trics"), RequestVerdict::kMalformed);
    const char nul_in_header[] = "GET /metrics HTTP/1.1\r\nHost: \0";
    EXPECT_EQ(Read(std::string(nul_in_header, sizeof nul_in_header - 1)),
              RequestVerdict::kMalformed);
}

TEST(MetricsRequest, WaitsForTheWholeHeadAndStopsAtItsLimit) {
    RequestReader reader;
    EXPECT_EQ(reader.Feed("GET /metrics HTTP/1.1\r\nHost: x\r\n"), RequestVerdict::kIncomplete);
    EXPECT_EQ(reader.Feed("\r"), RequestVerdict::kIncomplete);
    EXPECT_EQ(reader.Feed("\n"), RequestVerdict::kMetrics);
    // Bytes after the head do not change a verdict.
    EXPECT_EQ(reader.Feed("garbage\0\r\r"), RequestVerdict::kMetrics);

    // A head of exactly the limit is read; one byte more is too large, however it arrives.
    const std::string start = "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Pad: ";
    const std::string end = "\r\n\r\n";
    const std::string fits = start + std::string(kMaxRequestHead - start.size() - end.size(), 'a');
    EXPECT_EQ(Read(fits + end), RequestVerdict::kMetrics);
    EXPECT_EQ(Read(fits + "a" + end), RequestVerdict::kTooLarge);
    EXPECT_EQ(ReadByteByByte(fits + "a" + end), RequestVerdict::kTooLarge);
    RequestReader endless;
    const std::string chunk(1000, 'a');
    RequestVerdict v = endless.Feed("GET /");
    for (int i = 0; i < 20 && v == RequestVerdict::kIncomplete; ++i)
        v = endless.Feed(chunk);
    EXPECT_EQ(v, RequestVerdict::kTooLarge);
    EXPECT_EQ(endless.consumed(), kMaxRequestHead);
}

TEST(MetricsResponse, CarriesStatusLengthTypeAndClose) {
    EXPECT_EQ(HttpResponse(HttpStatus::kOk, "a 1\n"),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
              "Content-Length: 4\r\nConnection: close\r\n\r\na 1\n");
    // The answer to HEAD: GET's head, the body's length included, and no body.
    EXPECT_EQ(HttpResponse(HttpStatus::kOk, "a 1\n", true),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
              "Content-Length: 4\r\nConnection: close\r\n\r\n");
    const std::string refused = HttpResponse(HttpStatus::kMethodNotAllowed);
    EXPECT_EQ(refused.rfind("HTTP/1.1 405 Method Not Allowed\r\n", 0), 0u) << refused;
    EXPECT_NE(refused.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos);
    EXPECT_NE(refused.find("\r\nConnection: close\r\n"), std::string::npos);
    // Every error has a reason in its body, and its length is the body's.
    for (RequestVerdict v : {RequestVerdict::kNotFound, RequestVerdict::kMalformed,
                             RequestVerdict::kTooLarge, RequestVerdict::kIncomplete}) {
        const std::string r = HttpResponse(StatusFor(v));
        const std::size_t body = r.find("\r\n\r\n") + 4;
        ASSERT_LT(body, r.size()) << r;
        EXPECT_NE(r.find("Content-Length: " + std::to_string(r.size() - body) + "\r\n"),
                  std::string::npos)
            << r;
        EXPECT_EQ(r.find("Allow:"), std::string::npos);
    }
    EXPECT_EQ(StatusFor(RequestVerdict::kIncomplete), HttpStatus::kRequestTimeout);
    EXPECT_EQ(StatusFor(RequestVerdict::kTooLarge), HttpStatus::kHeaderFieldsTooLarge);
}

}  // namespace
}  // namespace vorn::agent
