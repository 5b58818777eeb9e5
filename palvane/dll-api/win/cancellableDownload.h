// One URL fetched into a file by the URL moniker service, which another
// thread can abort at once: through the running binding (which ends a
// stalled transfer too) and, should the binding not take it, at the next
// progress report.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace PALVANE_SERVICE {

class CancellableDownload {
public:
    CancellableDownload();
    ~CancellableDownload();
    CancellableDownload(const CancellableDownload&) = delete;
    CancellableDownload& operator=(const CancellableDownload&) = delete;

    // URLDownloadToFileW's answer; E_ABORT once cancelled (also when the
    // cancel came before the call).
    HRESULT download(const std::wstring& url, const std::wstring& file);
    // From any thread; later downloads of this object are refused.
    void cancel();
    bool cancelled() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace PALVANE_SERVICE
