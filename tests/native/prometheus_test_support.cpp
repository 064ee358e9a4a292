#include "tests/native/prometheus_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "readings/http_get.h"

extern char** environ;

namespace vorn::testing {

namespace {

using Clock = std::chrono::steady_clock;

bool WaitExit(pid_t pid, int timeout_ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < until) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

std::uint16_t FreeTcpPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    std::uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

bool WaitForBody(const std::string& url, const std::string& needle, int timeout_ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < until) {
        readings::HttpRequest request;
        request.url = url;
        request.timeout_ms = 1000;
        const readings::HttpResult r = readings::HttpGet(request);
        if (r.ok && r.body.find(needle) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

ServiceProcess::~ServiceProcess() {
    Stop();
}

bool ServiceProcess::Start(const std::string& binary, const std::vector<std::string>& args,
                           const std::string& log_path) {
    log_path_ = log_path;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> all{binary};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        pid_ = -1;
    return rc == 0;
}

void ServiceProcess::Stop() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    if (!WaitExit(pid_, 5000)) {
        kill(pid_, SIGKILL);
        WaitExit(pid_, 2000);
    }
    pid_ = -1;
}

std::string ServiceProcess::Log() const {
    std::ifstream in(log_path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool NodeExporter::Start(const std::string& sysfs_root, const std::string& work_dir) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = FreeTcpPort();
        if (!process_.Start(kNodeExporterBinary,
                            {"--web.listen-address=" + Address(), "--path.sysfs=" + sysfs_root,
                             "--collector.disable-defaults", "--collector.hwmon"},
                            work_dir + "/node_exporter.log"))
            return false;
        if (WaitForBody(MetricsUrl(), "node_hwmon_", 10000))
            return true;
        process_.Stop();  // the port may have been taken meanwhile: try another
    }
    return false;
}

bool PrometheusServer::Start(const std::vector<std::string>& targets, const std::string& work_dir,
                             const std::string& needle) {
    std::string list;
    for (const std::string& t : targets)
        list += (list.empty() ? "'" : ", '") + t + "'";
    const std::string config = work_dir + "/prometheus.yml";
    std::ofstream(config) << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                          << "scrape_configs:\n  - job_name: node\n    static_configs:\n"
                          << "      - targets: [" << list << "]\n";
    for (int attempt = 0; attempt < 2; ++attempt) {
        port_ = FreeTcpPort();
        if (!process_.Start(kPrometheusBinary,
                            {"--config.file=" + config, "--storage.tsdb.path=" + work_dir + "/data",
                             "--web.listen-address=127.0.0.1:" + std::to_string(port_),
                             "--storage.tsdb.retention.time=1h"},
                            work_dir + "/prometheus.log"))
            return false;
        if (WaitForBody(BaseUrl() + "/federate?match%5B%5D=%7Bjob%3D%22node%22%7D", needle, 40000))
            return true;
        process_.Stop();
    }
    return false;
}

}  // namespace vorn::testing
