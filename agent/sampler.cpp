#include "agent/sampler.h"

#include "agent/format.h"

namespace vorn::agent {

Sample MakeSample(const Readings& readings) {
    Sample s;
    s.readings = readings;
    bool any = false;
    for (int k = 0; k < proto::kFieldCount; ++k) {
        s.fields[k] = FormatReading(k, readings[k]);
        if (readings[k])
            any = true;
    }
    s.status = any ? proto::ReplyStatus::kReadings : proto::ReplyStatus::kNoSensors;
    return s;
}

const Sample& Sampler::Current(Clock::time_point now) {
    if (!valid_ || now - taken_ >= interval_ || now < taken_) {
        current_ = MakeSample(source_->Sample());
        taken_ = now;
        valid_ = true;
        ++reads_;
    }
    return current_;
}

void Sampler::Replace(std::unique_ptr<Source> source, std::chrono::milliseconds interval) {
    source_ = std::move(source);
    interval_ = interval;
    valid_ = false;
}

}  // namespace vorn::agent
