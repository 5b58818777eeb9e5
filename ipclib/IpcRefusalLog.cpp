#include "ipclib/IpcRefusalLog.h"

#include <algorithm>

#include "utils/twlogger.h"

void IpcRefusalLog::refused(const std::string& source, int level, const std::string& line) {
    const auto now = Clock::now();
    auto found = sources_.find(source);
    if (found == sources_.end()) {
        if (sources_.size() >= kMaxSources) forgetOldest();
        found = sources_.emplace(source, Source{now - interval_, 0}).first;
    }
    Source& known = found->second;
    ++known.refusals;
    if (now - known.reportedAt < interval_) return;
    TWLOG(level, line << " (" << known.refusals << " refused since the last report)");
    known.reportedAt = now;
    known.refusals = 0;
}

void IpcRefusalLog::forgetOldest() {
    const auto oldest = std::min_element(sources_.begin(), sources_.end(), [](const auto& a, const auto& b) {
        return a.second.reportedAt < b.second.reportedAt;
    });
    sources_.erase(oldest);
}
