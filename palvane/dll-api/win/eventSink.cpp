#include "palvane/dll-api/win/eventSink.h"

#include <oleauto.h>

#include <exception>

#include "utils/twlogger.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

namespace PALVANE_SERVICE {

namespace {

std::atomic<long> g_liveSinks{0};

unsigned long hexCode(HRESULT code) { return static_cast<unsigned long>(code); }

// A BSTR that frees itself.
class Bstr {
public:
    explicit Bstr(const wchar_t* text) : text_(SysAllocString(text)) {}
    ~Bstr() { SysFreeString(text_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return text_; }

private:
    BSTR text_;
};

// A VARIANT that clears itself.
struct Variant {
    VARIANT value;
    Variant() { VariantInit(&value); }
    ~Variant() { VariantClear(&value); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
};

// The object held by an event's "TargetInstance", with a reference of its own;
// null when the property holds no object.
IWbemClassObject* targetInstance(IWbemClassObject* event) {
    Variant target;
    if (FAILED(event->Get(L"TargetInstance", 0, &target.value, nullptr, nullptr))) return nullptr;
    if (target.value.vt != VT_UNKNOWN && target.value.vt != VT_DISPATCH &&
        FAILED(VariantChangeType(&target.value, &target.value, 0, VT_UNKNOWN))) {
        return nullptr;
    }
    IUnknown* unknown = target.value.vt == VT_DISPATCH ? target.value.pdispVal : target.value.punkVal;
    if (unknown == nullptr) return nullptr;
    IWbemClassObject* process = nullptr;
    if (FAILED(unknown->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&process)))) return nullptr;
    return process;
}

bool unsecuredApartmentRegistered() {
    UniqueRegKey key;
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{49BD2028-1523-11D1-AD79-00C04FD8FDFF}\\LocalServer32", 0,
                         KEY_READ, key.receive()) == ERROR_SUCCESS;
}

void logQueryError(HRESULT result) {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
        BSTR description = nullptr;
        if (SUCCEEDED(info->GetDescription(&description)) && description != nullptr) {
            std::string text;
            toUtf8(description, text);
            TWLOG(LOG_ERROR, "Error message: " << text);
            SysFreeString(description);
        }
        info->Release();
    }
    TWLOG(LOG_ERROR, "ExecNotificationQueryAsync failed with = 0x" << std::hex << hexCode(result));
}

}  // namespace

EventSink::EventSink(std::function<void(const wchar_t*)> callback, WmiHooks hooks)
    : callback_(std::move(callback)), hooks_(std::move(hooks)), life_(std::make_shared<Life>()) {
    g_liveSinks.fetch_add(1);
}

EventSink::~EventSink() {
    // Normally nothing is left: the registering thread released it all.
    unregister_process_watch();
    g_liveSinks.fetch_sub(1);
    std::lock_guard<std::mutex> guard(life_->lock);
    life_->destroyed = true;
    life_->changed.notify_all();
}

long EventSink::liveSinks() { return g_liveSinks.load(); }

HRESULT STDMETHODCALLTYPE EventSink::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IWbemObjectSink) {
        *object = static_cast<IWbemObjectSink*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE EventSink::AddRef() { return static_cast<ULONG>(references_.fetch_add(1) + 1); }

ULONG STDMETHODCALLTYPE EventSink::Release() {
    const long remaining = references_.fetch_sub(1) - 1;
    if (remaining == 0) delete this;
    return static_cast<ULONG>(remaining);
}

HRESULT STDMETHODCALLTYPE EventSink::Indicate(long count, IWbemClassObject** objects) {
    if (objects == nullptr) return WBEM_S_NO_ERROR;
    // Nothing may unwind into WMI's thread.
    try {
        for (long index = 0; index < count; ++index) {
            if (objects[index] != nullptr) reportProcess(objects[index]);
        }
    } catch (const std::exception& error) {
        TWLOG(LOG_ERROR, "Process creation event failed: " << error.what());
    } catch (...) {
        TWLOG(LOG_ERROR, "Process creation event failed.");
    }
    return WBEM_S_NO_ERROR;
}

void EventSink::reportProcess(IWbemClassObject* event) {
    IWbemClassObject* process = targetInstance(event);
    if (process == nullptr) return;
    Variant path;
    const HRESULT read = process->Get(L"ExecutablePath", 0, &path.value, nullptr, nullptr);
    process->Release();
    if (FAILED(read)) return;
    // Only a non-empty string is a path; any other type counts as unreadable.
    if (path.value.vt != VT_BSTR || path.value.bstrVal == nullptr || SysStringLen(path.value.bstrVal) == 0) {
        TWLOG(LOG_INFO, "Process ExecutablePath is empty.");
        return;
    }
    deliver(path.value.bstrVal);
}

void EventSink::deliver(const wchar_t* path) {
    std::shared_lock<std::shared_mutex> guard(callbackLock_);
    if (callback_) callback_(path);
}

void EventSink::detach() {
    std::unique_lock<std::shared_mutex> guard(callbackLock_);
    callback_ = nullptr;
}

HRESULT STDMETHODCALLTYPE EventSink::SetStatus(long flags, HRESULT result, BSTR text, IWbemClassObject* object) {
    if (flags == WBEM_STATUS_COMPLETE) {
        TWLOG(LOG_INFO, "Call complete. hResult = 0x" << std::hex << hexCode(result));
    } else if (flags == WBEM_STATUS_PROGRESS) {
        TWLOG(LOG_INFO, "Call in progress.");
    }
    return WBEM_S_NO_ERROR;
}

HRESULT EventSink::initializeSecurity() {
    if (hooks_.initializeSecurity) return hooks_.initializeSecurity();
    return CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                                nullptr, EOAC_NONE, nullptr);
}

bool EventSink::register_process_watch() {
    if (hooks_.registration) return hooks_.registration();
    const HRESULT security = initializeSecurity();
    if (security == RPC_E_TOO_LATE) {
        // Set once per process (by the host, or by this library before a
        // reload); the proxy blanket below carries what the watch needs.
        TWLOG(LOG_INFO, "COM security is already initialized, error=0x" << std::hex << hexCode(security));
    } else if (FAILED(security)) {
        TWLOG(LOG_ERROR, "Failed to initialize security. Error code = 0x" << std::hex << hexCode(security));
        return false;
    }
    return connect() && createStubSink() && startQuery();
}

bool EventSink::connect() {
    HRESULT result = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                      reinterpret_cast<void**>(&locator_));
    if (FAILED(result)) {
        TWLOG(LOG_ERROR, "Failed to create IWbemLocator object. " << "Err code = 0x" << std::hex << hexCode(result));
        return false;
    }
    Bstr space(kNamespace);
    result = locator_->ConnectServer(space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services_);
    if (FAILED(result)) {
        TWLOG(LOG_ERROR, "Could not connect. Error code = 0x" << std::hex << hexCode(result));
        return false;
    }
    TWLOG(LOG_INFO, "Connected to ROOT\\CIMV2 WMI namespace");
    result = CoSetProxyBlanket(services_, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                               RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(result)) {
        TWLOG(LOG_ERROR, "Could not set proxy blanket. Error code = 0x" << std::hex << hexCode(result));
        return false;
    }
    return true;
}

bool EventSink::createStubSink() {
    HRESULT result = REGDB_E_CLASSNOTREG;
    // Asking for a local server that is not registered can stall for seconds.
    if (unsecuredApartmentRegistered()) {
        result = CoCreateInstance(CLSID_UnsecuredApartment, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnsecuredApartment,
                                  reinterpret_cast<void**>(&apartment_));
    }
    if (FAILED(result)) {
        // Without the apartment WMI calls the sink itself, which the
        // process's COM security has to admit.
        TWLOG(LOG_WARN, "Failed to create the unsecured apartment, error=0x" << std::hex << hexCode(result)
                                                                            << "; the sink is registered directly.");
        stubSink_ = this;
        AddRef();
        return true;
    }
    result = apartment_->CreateObjectStub(static_cast<IWbemObjectSink*>(this), &stub_);
    if (FAILED(result) || stub_ == nullptr) {
        TWLOG(LOG_ERROR, "CreateObjectStub() failed, error=0x" << std::hex << hexCode(result));
        return false;
    }
    result = stub_->QueryInterface(IID_IWbemObjectSink, reinterpret_cast<void**>(&stubSink_));
    if (FAILED(result) || stubSink_ == nullptr) {
        TWLOG(LOG_ERROR, "QueryInterface(IWbemObjectSink) failed, error=0x" << std::hex << hexCode(result));
        return false;
    }
    return true;
}

bool EventSink::startQuery() {
    Bstr language(L"WQL");
    Bstr query(kQuery);
    const HRESULT result =
        services_->ExecNotificationQueryAsync(language.get(), query.get(), WBEM_FLAG_SEND_STATUS, nullptr, stubSink_);
    if (FAILED(result)) {
        logQueryError(result);
        return false;
    }
    return true;
}

template <typename T>
void EventSink::releaseField(T*& field) {
    T* held = field;
    field = nullptr;
    if (held != nullptr) held->Release();
}

void EventSink::unregister_process_watch() {
    if (services_ != nullptr && stubSink_ != nullptr) services_->CancelAsyncCall(stubSink_);
    releaseField(stubSink_);
    releaseField(stub_);
    releaseField(apartment_);
    releaseField(services_);
    releaseField(locator_);
}

}  // namespace PALVANE_SERVICE
