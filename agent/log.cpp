#include "agent/log.h"

namespace vorn::agent {

void Log::Info(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(out_, "vornagent: %s\n", line.c_str());
    std::fflush(out_);
}

bool Log::Warn(const std::string& subject, const std::string& line, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = last_.find(subject);
    if (it != last_.end() && now - it->second < quiet_)
        return false;
    last_[subject] = now;
    std::fprintf(out_, "vornagent: warning: %s\n", line.c_str());
    std::fflush(out_);
    return true;
}

}  // namespace vorn::agent
