// One URL fetched into a file by the URL moniker service, which another
// thread can abort at once in every phase. The transfer runs on a thread of
// its own; cancel() releases the waiting caller at once and aborts the
// running binding (which ends a stalled transfer too). A transfer that
// cannot be aborted (still resolving or connecting) is left to end by
// itself: its thread keeps this library loaded until then and removes a file
// it wrote after the cancel.
#pragma once

#include <windows.h>

#include <urlmon.h>

#include <functional>
#include <memory>
#include <string>

namespace PALVANE_SERVICE {

class CancellableDownload {
public:
    // The call that fetches the file: URLDownloadToFileW unless a test puts
    // in another.
    using Fetch = std::function<HRESULT(const wchar_t* url, const wchar_t* file, IBindStatusCallback* progress)>;

    explicit CancellableDownload(Fetch fetch = Fetch());
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
    Fetch fetch_;
};

}  // namespace PALVANE_SERVICE
