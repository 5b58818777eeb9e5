#include "utils/twlogger.h"

#include "utils/win/http_helper.h"

// The post sink's transport: one form post of the record, with the client's
// retries, on the calling thread.
bool sendLogPost(const std::string& url, const std::string& record, std::string& errorText) {
    const UrlParts parts = parseUrl(url);
    http_helper client("agent_log", parts.host, parts.port, false, "", 0, parts.secure);
    std::string response;
    if (client.post(parts.path, record.c_str(), response)) return true;
    errorText = client.errorText();
    return false;
}
