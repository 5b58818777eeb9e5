#include "ipclib/IpcRefusalLog.h"

#include <algorithm>

#include "utils/twlogger.h"

void IpcRefusalLog::refused(const std::string& source, int level, const std::string& line) {
    const auto now = Clock::now();
    endIntervalIfOver(now, level);
    auto found = sources_.find(source);
    if (found == sources_.end()) {
        if (sources_.size() >= kMaxSources) forgetOldest();
        found = sources_.emplace(source, Source{now - interval_, 0}).first;
    }
    Source& known = found->second;
    ++known.refusals;
    if (now - known.reportedAt < interval_) return;
    if (linesInInterval_ < kMaxLines) {
        ++linesInInterval_;
        TWLOG(level, line << " (" << known.refusals << " refused since the last report)");
    } else {
        heldBack_ += known.refusals;
    }
    known.reportedAt = now;
    known.refusals = 0;
}

void IpcRefusalLog::endIntervalIfOver(Clock::time_point now, int level) {
    if (now - intervalBegan_ < interval_) return;
    if (heldBack_ > 0) {
        TWLOG(level, heldBack_ << " more connections were refused from sources beyond the " << kMaxLines
                               << " reported in the last " << interval_.count() / 1000 << " s.");
    }
    intervalBegan_ = now;
    linesInInterval_ = 0;
    heldBack_ = 0;
}

void IpcRefusalLog::forgetOldest() {
    const auto oldest = std::min_element(sources_.begin(), sources_.end(), [](const auto& a, const auto& b) {
        return a.second.reportedAt < b.second.reportedAt;
    });
    sources_.erase(oldest);
}
