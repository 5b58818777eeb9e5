// The COM receiver of WMI process-creation notifications. It hands the
// executable path of each new process to a callback.
//
// COM discipline: register_process_watch and unregister_process_watch run on
// one thread that has joined the multithreaded apartment (the owner's COM
// thread), so every WMI object is created and released there, before that
// thread leaves COM. The sink itself initialises nothing: the thread that
// drops its last reference may be any RPC thread.
//
// Indicate and SetStatus run on COM worker threads. detach() withdraws the
// callback and waits for a callback that is running, so an owner that has
// detached may be freed while WMI still holds the sink.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>

namespace PALVANE_SERVICE {

// Replaceable platform calls of the registration (tests); an empty function
// means the real call.
struct WmiHooks {
    std::function<HRESULT()> initializeSecurity;
    // Stands in for the whole registration, for tests that only deliver
    // events (the real one costs seconds under Wine).
    std::function<bool()> registration;
};

class EventSink : public IWbemObjectSink {
public:
    static constexpr const wchar_t* kNamespace = L"ROOT\\CIMV2";
    static constexpr const wchar_t* kQuery =
        L"SELECT * FROM __InstanceCreationEvent WITHIN 1 WHERE TargetInstance ISA 'Win32_Process' "
        L"AND(TargetInstance.Name = 'setup.exe' OR TargetInstance.Name = 'setupprep.exe' OR "
        L"TargetInstance.Name = 'WindowsUpdateBox.exe')";

    // Reference count 0: whoever keeps the sink takes the first reference.
    explicit EventSink(std::function<void(const wchar_t*)> callback, WmiHooks hooks = WmiHooks());

    EventSink(const EventSink&) = delete;
    EventSink& operator=(const EventSink&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Indicate(long count, IWbemClassObject** objects) override;
    HRESULT STDMETHODCALLTYPE SetStatus(long flags, HRESULT result, BSTR text, IWbemClassObject* object) override;

    // Connects to WMI and starts the notification query. On the caller's
    // multithreaded-apartment thread; false after the log line on failure
    // (what was acquired stays held until unregister_process_watch).
    bool register_process_watch();
    // Cancels the query and releases every WMI object; on the thread that
    // registered.
    void unregister_process_watch();
    // No callback after this returns; waits for one that is running.
    void detach();

    // Sinks alive in the process (a leak check).
    static long liveSinks();

    // Set when the sink is destroyed; outlives it.
    struct Life {
        std::mutex lock;
        std::condition_variable changed;
        bool destroyed = false;
    };
    std::shared_ptr<Life> life() const { return life_; }

protected:
    virtual ~EventSink();

private:
    void reportProcess(IWbemClassObject* event);
    void deliver(const wchar_t* path);
    bool connect();
    bool createStubSink();
    bool startQuery();
    HRESULT initializeSecurity();
    template <typename T>
    static void releaseField(T*& field);

    IWbemLocator* locator_ = nullptr;
    IWbemServices* services_ = nullptr;
    IUnsecuredApartment* apartment_ = nullptr;
    IUnknown* stub_ = nullptr;
    IWbemObjectSink* stubSink_ = nullptr;
    std::shared_mutex callbackLock_;
    std::function<void(const wchar_t*)> callback_;
    std::atomic<long> references_{0};
    WmiHooks hooks_;
    std::shared_ptr<Life> life_;
};

}  // namespace PALVANE_SERVICE
