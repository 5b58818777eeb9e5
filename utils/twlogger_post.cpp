#include "utils/twlogger.h"
#include "utils/twlogger_lock.h"
#include "utils/twlogger_post.h"

#include "utils/win/http_helper.h"

namespace {

// One form post of the record, with the client's retries and pauses.
bool postOnce(const std::string& url, const std::string& record, twlogger_detail::LogPostCancel& cancel,
              std::string& errorText) {
    const UrlParts parts = parseUrl(url);
    http_helper client("agent_log", parts.host, parts.port, false, "", 0, parts.secure);
    cancel.attach(client);
    std::string response;
    const bool posted = client.post(parts.path, record.c_str(), response);
    cancel.detach();
    if (!posted) errorText = client.errorText();
    return posted;
}

}  // namespace

namespace twlogger_detail {

void LogPostCancel::attach(http_helper& client) {
    std::lock_guard<std::mutex> lock(lock_);
    client_ = &client;
    if (cancelled_) client.closeRequest();
}

void LogPostCancel::detach() {
    std::lock_guard<std::mutex> lock(lock_);
    client_ = nullptr;
}

void LogPostCancel::cancel() {
    std::lock_guard<std::mutex> lock(lock_);
    cancelled_ = true;
    if (client_ != nullptr) client_->closeRequest();
}

void postRecord(const std::string& url, const std::string& record, LogPostCancel& cancel) {
    std::string errorText;
    if (!postOnce(url, record, cancel, errorText)) logDebugString("Failed to post>> ", errorText);
}

}  // namespace twlogger_detail
