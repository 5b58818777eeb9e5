#include "palvane/dll-api/win/cancellableDownload.h"

#include <urlmon.h>

#include <atomic>
#include <mutex>

namespace PALVANE_SERVICE {

struct CancellableDownload::State {
    std::mutex lock;
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

}  // namespace

CancellableDownload::CancellableDownload() : state_(std::make_shared<State>()) {}

CancellableDownload::~CancellableDownload() = default;

HRESULT CancellableDownload::download(const std::wstring& url, const std::wstring& file) {
    if (state_->cancelled) return E_ABORT;
    BindingWatch* watch = new BindingWatch(state_);
    watch->AddRef();
    const HRESULT result = URLDownloadToFileW(nullptr, url.c_str(), file.c_str(), 0, watch);
    watch->Release();
    return state_->cancelled ? E_ABORT : result;
}

void CancellableDownload::cancel() {
    state_->cancelled = true;
    IBinding* binding = nullptr;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        binding = state_->binding;
        if (binding != nullptr) binding->AddRef();
    }
    // Outside the lock: the binding may report its end from inside Abort.
    if (binding != nullptr) {
        binding->Abort();
        binding->Release();
    }
}

bool CancellableDownload::cancelled() const { return state_->cancelled; }

}  // namespace PALVANE_SERVICE
