// Real Prometheus components for the tests, started on loopback with their own flags, ports
// and data folders (never the packaged services): node_exporter on a sysfs fixture tree and a
// Prometheus server scraping it. Each is stopped (SIGTERM, then SIGKILL) when destroyed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::testing {

constexpr const char* kNodeExporterBinary = "/usr/bin/prometheus-node-exporter";
constexpr const char* kPrometheusBinary = "/usr/bin/prometheus";

// A TCP port on 127.0.0.1 that was free a moment ago.
std::uint16_t FreeTcpPort();

// Polls `url` until its body contains `needle` or `timeout_ms` pass.
bool WaitForBody(const std::string& url, const std::string& needle, int timeout_ms);

// A child process whose output goes to a log file.
class ServiceProcess {
public:
    ServiceProcess() = default;
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;
    bool Start(const std::string& binary, const std::vector<std::string>& args,
               const std::string& log_path);
    void Stop();
    // The log so far, for failure messages.
    std::string Log() const;

private:
    pid_t pid_ = -1;
    std::string log_path_;
};

// node_exporter with only the hwmon collector, reading `sysfs_root`.
class NodeExporter {
public:
    // Starts it and waits (bounded) until /metrics serves hwmon series.
    bool Start(const std::string& sysfs_root, const std::string& work_dir);
    std::uint16_t port() const { return port_; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string MetricsUrl() const { return "http://" + Address() + "/metrics"; }
    std::string Log() const { return process_.Log(); }

private:
    ServiceProcess process_;
    std::uint16_t port_ = 0;
};

// A Prometheus server scraping `targets` (HOST:PORT) every second as job "node".
class PrometheusServer {
public:
    // Starts it and waits (bounded; the first scrape comes seconds after the start) until
    // /federate?match[]={job="node"} serves `needle`.
    bool Start(const std::vector<std::string>& targets, const std::string& work_dir,
               const std::string& needle);
    std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::string Log() const { return process_.Log(); }

private:
    ServiceProcess process_;
    std::uint16_t port_ = 0;
};

}  // namespace vorn::testing
