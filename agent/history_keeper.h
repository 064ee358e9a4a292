// Keeps the readings' history for the agent: records every sample of the refresher into the
// store, loads the history file at the start and saves it every few minutes (on a thread of
// its own, so that a slow disk holds up neither sampling nor serving) and at the stop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "agent/log.h"
#include "history/store.h"
#include "readings/refresher.h"

namespace vorn::agent {

constexpr std::chrono::milliseconds kHistorySaveEvery = std::chrono::minutes(5);

// Where the history is kept unless the configuration names a file: on Linux the service's
// state directory ($STATE_DIRECTORY, else /var/lib/vornagent); on Windows beside the
// configuration file `config_path`, or beside the executable without one.
std::string DefaultHistoryPath(const std::string& config_path);

// The history file in force: `configured` when set; else the default when its folder exists
// (the service's state directory), else none (memory only).
std::string ChooseHistoryPath(const std::string& configured, const std::string& config_path);

class HistoryKeeper : public readings::SampleObserver {
public:
    // `path` empty: the history lives in memory only. `log` must outlive the keeper.
    HistoryKeeper(std::string path, Log& log,
                  std::chrono::milliseconds save_every = kHistorySaveEvery);
    // Stops (see Stop).
    ~HistoryKeeper() override;
    HistoryKeeper(const HistoryKeeper&) = delete;
    HistoryKeeper& operator=(const HistoryKeeper&) = delete;

    // Loads the file (saying in one line what it found) and starts saving.
    void Start();

    // Records a sample, stamped with the wall clock now. Refresher's thread.
    void OnSample(const readings::Snapshot& snapshot) override;

    // Stops the saving thread and saves once more. Idempotent.
    void Stop();

    const history::Store& store() const { return *store_; }
    const std::string& path() const { return path_; }

private:
    void Run();
    void Save();

    const std::string path_;
    Log& log_;
    const std::chrono::milliseconds save_every_;
    const std::unique_ptr<history::Store> store_;
    std::mutex mutex_;  // guards stop_
    std::condition_variable stop_changed_;
    bool stop_ = false;
    bool stopped_ = false;
    std::thread thread_;
};

}  // namespace vorn::agent
