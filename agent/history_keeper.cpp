#include "agent/history_keeper.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "history/history_file.h"

namespace vorn::agent {

namespace {

std::int64_t UnixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

#ifdef _WIN32
std::string FolderOf(const std::string& path) {
    const std::size_t sep = path.find_last_of("\\/");
    return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
}
#endif

}  // namespace

std::string DefaultHistoryPath(const std::string& config_path) {
#ifdef _WIN32
    std::string folder = FolderOf(config_path);
    if (config_path.empty()) {
        char exe[MAX_PATH];
        const DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
        folder = n > 0 && n < MAX_PATH ? FolderOf(std::string(exe, n)) : std::string();
    }
    return folder + "vornagent.history";
#else
    (void)config_path;
    // systemd names the unit's StateDirectory here (the first, when there are several).
    const char* state = std::getenv("STATE_DIRECTORY");
    std::string dir = state && *state ? std::string(state) : std::string("/var/lib/vornagent");
    dir = dir.substr(0, dir.find(':'));
    return dir + "/history";
#endif
}

std::string ChooseHistoryPath(const std::string& configured, const std::string& config_path) {
    if (!configured.empty())
        return configured;
    const std::string path = DefaultHistoryPath(config_path);
#ifdef _WIN32
    return path;
#else
    struct stat st;
    const std::string dir = path.substr(0, path.find_last_of('/'));
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? path : std::string();
#endif
}

HistoryKeeper::HistoryKeeper(std::string path, Log& log, std::chrono::milliseconds save_every)
    : path_(std::move(path)),
      log_(log),
      save_every_(save_every),
      store_(std::make_unique<history::Store>()) {}

HistoryKeeper::~HistoryKeeper() {
    Stop();
}

void HistoryKeeper::Start() {
    if (path_.empty()) {
        log_.Info("history kept in memory only (no state directory; set history_file to keep it)");
        return;
    }
    const history::LoadResult loaded = history::LoadHistory(store_.get(), path_);
    if (loaded.outcome == history::LoadOutcome::kLoaded)
        log_.Info("history loaded from " + path_);
    else
        log_.Info(loaded.message);
    thread_ = std::thread([this] { Run(); });
}

void HistoryKeeper::OnSample(const readings::Snapshot& snapshot) {
    history::Sample sample;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        if (snapshot.readings[k].value)
            sample.values[k] = proto::ToFixed(k, *snapshot.readings[k].value);
    }
    sample.alarm_mask = snapshot.alarm_mask;
    store_->Record(UnixNow(), sample);
}

void HistoryKeeper::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        if (stop_changed_.wait_for(lock, save_every_, [this] { return stop_; }))
            break;
        lock.unlock();
        Save();
        lock.lock();
    }
}

void HistoryKeeper::Save() {
    std::string error;
    if (!history::SaveHistory(*store_, path_, &error))
        log_.Warn("history", "cannot save the history: " + error);
}

void HistoryKeeper::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_)
            return;
        stop_ = true;
        stopped_ = true;
    }
    stop_changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
        Save();
    }
}

}  // namespace vorn::agent
