// The logger's one lock and its open file, for log maintenance that lives
// outside twlogger.cpp (the service host's upload packing and removal).
#pragma once

#include <mutex>
#include <string>

namespace twlogger_detail {

std::recursive_mutex& logLock();
// Closes the log file if open; the caller holds logLock() or is alone.
void closeLogFdUnlocked();
// OutputDebugStringA of `prefix` followed by `text`.
void logDebugString(const char* prefix, const std::string& text);

}  // namespace twlogger_detail
