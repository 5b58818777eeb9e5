#include "palvane/dll-api/win/cancellableDownload.h"

#include <urlmon.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace PALVANE_SERVICE {

struct CancellableDownload::State {
    std::mutex lock;
    // Signalled when a transfer ends and when a cancel comes.
    std::condition_variable changed;
    IBinding* binding = nullptr;
    std::atomic<bool> cancelled{false};
};

namespace {

// Keeps the running binding where cancel() can reach it.
class BindingWatch : public IBindStatusCallback {
public:
    explicit BindingWatch(std::shared_ptr<CancellableDownload::State> state) : state_(std::move(state)) {}
    BindingWatch(const BindingWatch&) = delete;
    BindingWatch& operator=(const BindingWatch&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IBindStatusCallback) {
            *object = static_cast<IBindStatusCallback*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(references_.fetch_add(1) + 1); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long remaining = references_.fetch_sub(1) - 1;
        if (remaining == 0) delete this;
        return static_cast<ULONG>(remaining);
    }

    HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding* binding) override {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (state_->cancelled) return E_ABORT;
        releaseBinding();
        state_->binding = binding;
        if (binding != nullptr) binding->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnProgress(ULONG, ULONG, ULONG, LPCWSTR) override {
        return state_->cancelled ? E_ABORT : S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override {
        std::lock_guard<std::mutex> guard(state_->lock);
        releaseBinding();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

private:
    virtual ~BindingWatch() {
        std::lock_guard<std::mutex> guard(state_->lock);
        releaseBinding();
    }
    // Under the state's lock.
    void releaseBinding() {
        if (state_->binding != nullptr) state_->binding->Release();
        state_->binding = nullptr;
    }

    std::shared_ptr<CancellableDownload::State> state_;
    std::atomic<long> references_{0};
};

// One transfer, shared by the thread that runs it and the caller that waits.
struct Transfer {
    std::shared_ptr<CancellableDownload::State> state;
    CancellableDownload::Fetch fetch;
    std::wstring url;
    std::wstring file;
    // Under the state's lock.
    bool done = false;
    HRESULT result = E_FAIL;
};

// Everything the transfer thread owns is released here, before the thread
// gives up its hold on the library.
void runTransfer(std::shared_ptr<Transfer> transfer) {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    BindingWatch* watch = new BindingWatch(transfer->state);
    watch->AddRef();
    const HRESULT result = transfer->fetch
                               ? transfer->fetch(transfer->url.c_str(), transfer->file.c_str(), watch)
                               : URLDownloadToFileW(nullptr, transfer->url.c_str(), transfer->file.c_str(), 0, watch);
    watch->Release();
    if (SUCCEEDED(com)) CoUninitialize();

    CancellableDownload::State& state = *transfer->state;
    bool abandoned = false;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        transfer->done = true;
        transfer->result = result;
        abandoned = state.cancelled;
    }
    state.changed.notify_all();
    // Nobody waits for this file any more, and its owner may already have
    // cleaned up.
    if (abandoned && result == S_OK) DeleteFileW(transfer->file.c_str());
}

struct TransferStart {
    std::shared_ptr<Transfer> transfer;
    HMODULE pinned;
};

DWORD WINAPI transferThread(void* parameter) {
    HMODULE pinned = nullptr;
    {
        std::unique_ptr<TransferStart> start(static_cast<TransferStart*>(parameter));
        pinned = start->pinned;
        runTransfer(std::move(start->transfer));
    }
    // The library may have been released by everyone else meanwhile: this
    // call does not return into it.
    FreeLibraryAndExitThread(pinned, 0);
}

// Starts the transfer on a thread that holds this library loaded for as long
// as it runs. False (with the Windows error as the result) when it cannot.
bool startTransferThread(const std::shared_ptr<Transfer>& transfer) {
    HMODULE pinned = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&transferThread), &pinned)) {
        transfer->result = HRESULT_FROM_WIN32(GetLastError());
        return false;
    }
    auto* start = new TransferStart{transfer, pinned};
    HANDLE thread = CreateThread(nullptr, 0, &transferThread, start, 0, nullptr);
    if (thread == nullptr) {
        transfer->result = HRESULT_FROM_WIN32(GetLastError());
        delete start;
        FreeLibrary(pinned);
        return false;
    }
    CloseHandle(thread);
    return true;
}

}  // namespace

CancellableDownload::CancellableDownload(Fetch fetch) : state_(std::make_shared<State>()), fetch_(std::move(fetch)) {}

CancellableDownload::~CancellableDownload() { cancel(); }

HRESULT CancellableDownload::download(const std::wstring& url, const std::wstring& file) {
    if (state_->cancelled) return E_ABORT;
    auto transfer = std::make_shared<Transfer>();
    transfer->state = state_;
    transfer->fetch = fetch_;
    transfer->url = url;
    transfer->file = file;
    if (!startTransferThread(transfer)) return transfer->result;
    std::unique_lock<std::mutex> guard(state_->lock);
    state_->changed.wait(guard, [&] { return transfer->done || state_->cancelled; });
    return state_->cancelled ? E_ABORT : transfer->result;
}

void CancellableDownload::cancel() {
    IBinding* binding = nullptr;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->cancelled = true;
        binding = state_->binding;
        if (binding != nullptr) binding->AddRef();
    }
    state_->changed.notify_all();
    // Outside the lock: the binding may report its end from inside Abort.
    if (binding != nullptr) {
        binding->Abort();
        binding->Release();
    }
}

bool CancellableDownload::cancelled() const { return state_->cancelled; }

}  // namespace PALVANE_SERVICE
