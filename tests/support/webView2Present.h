// The WebView2 runtime reported as installed for one test (its per-user
// client key with a version), so a runtime start downloads nothing; the key
// is put back as it was afterwards.
#pragma once

#include <string>

namespace testutil {

class WebView2Present {
public:
    WebView2Present();
    ~WebView2Present();
    WebView2Present(const WebView2Present&) = delete;
    WebView2Present& operator=(const WebView2Present&) = delete;

private:
    bool createdKey_ = false;
    bool hadVersion_ = false;
    std::string version_;
};

}  // namespace testutil
