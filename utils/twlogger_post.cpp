#include "utils/twlogger.h"

// The post sink's transport. Until the HTTP client is linked in, a post fails
// with a text that lands on the debugger output.
bool sendLogPost(const std::string& url, const std::string& record, std::string& errorText) {
    errorText = "no HTTP client for " + url;
    return false;
}
