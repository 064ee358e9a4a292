// Helpers for the metrics endpoint's tests and benchmark: a loopback TCP client that speaks
// just enough HTTP, the metrics addresses from an agent's start line, and a shell command's
// output. Every wait is bounded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "agent/address.h"

namespace vorn::agent::testing {

// A TCP connection to a loopback endpoint, owned by the object.
class TcpClient {
public:
    TcpClient() = default;
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // Connects within `timeout_ms`; false when the connection is not made.
    bool Connect(const Endpoint& to, int timeout_ms = 2000);
    // The same from the IPv4 address `source` (a loopback one such as "127.0.0.2").
    bool ConnectFrom(const char* source, const Endpoint& to, int timeout_ms = 2000);
    // Sends all of `bytes` (blocking, bounded by `timeout_ms`); false when the peer is gone.
    bool Send(const std::string& bytes, int timeout_ms = 2000);
    // Reads until the peer closes or `timeout_ms` passes; *closed says which.
    std::string ReadToClose(int timeout_ms, bool* closed = nullptr);
    void Close();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

struct HttpReply {
    int status = 0;    // 0 when no status line came
    std::string head;  // status line and headers
    std::string body;
    bool closed = false;  // the server closed the connection
    // The value of a header, or "" (names compared without regard to case).
    std::string Header(const std::string& name) const;
};

// Splits a raw response into status, head and body.
HttpReply ParseHttpReply(const std::string& raw, bool closed);

// Sends `request` as is and reads the response to the server's close.
HttpReply HttpExchange(const Endpoint& to, const std::string& request, int timeout_ms = 5000);

// GET `target` with a Host header, as a scraper would.
HttpReply HttpGet(const Endpoint& to, const std::string& target = "/metrics",
                  int timeout_ms = 5000);

// The addresses after "metrics on" in an agent's start line, or none.
std::vector<Endpoint> MetricsEndpoints(const std::string& log_text);

// "127.0.0.1:PORT" or "[::1]:PORT".
std::string HostPort(const Endpoint& ep);

// A TCP port on 127.0.0.1 that was free a moment ago, for a program that takes no port 0.
std::uint16_t FreeTcpPort();

// Another program (Prometheus, node_exporter) as a child, its output in a file; stopped with
// SIGTERM (then SIGKILL after two seconds) and reaped when destroyed.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (a path) with stdout and stderr appended to `log_path`.
    bool Start(const std::vector<std::string>& argv, const std::string& log_path);
    // True while the child has not exited.
    bool Running();
    void Stop();

private:
    int pid_ = -1;
};

// Runs `command` through /bin/sh, collecting stdout and stderr; returns the exit status
// (-1 when it could not run or was killed).
int RunCommand(const std::string& command, std::string* output);

// The value of sample `series` (e.g. vornagent_source_reads_total or a name with labels,
// written as the exposition writes it) in an exposition text, or NaN.
double SampleValue(const std::string& exposition, const std::string& series);

}  // namespace vorn::agent::testing
