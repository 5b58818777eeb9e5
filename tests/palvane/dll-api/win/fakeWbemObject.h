// A WMI class object made of a few named properties, for delivering
// synthetic events to an IWbemObjectSink (Wine never delivers process
// creation events). Only Get answers; every other operation is refused.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <atomic>
#include <map>
#include <string>

namespace testutil {

class FakeWbemObject : public IWbemClassObject {
public:
    FakeWbemObject() = default;
    FakeWbemObject(const FakeWbemObject&) = delete;
    FakeWbemObject& operator=(const FakeWbemObject&) = delete;

    static FakeWbemObject* create() {
        FakeWbemObject* object = new FakeWbemObject();
        object->AddRef();
        return object;
    }

    void setString(const wchar_t* name, const wchar_t* text) {
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_BSTR;
        value.bstrVal = SysAllocString(text);
        put(name, value);
    }
    void setNull(const wchar_t* name) {
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_NULL;
        put(name, value);
    }
    void setInteger(const wchar_t* name, long number) {
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_I4;
        value.lVal = number;
        put(name, value);
    }
    // Holds a reference of its own to `object` (may be null).
    void setObject(const wchar_t* name, IUnknown* object) {
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_UNKNOWN;
        value.punkVal = object;
        if (object != nullptr) object->AddRef();
        put(name, value);
    }

    long references() const { return references_.load(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_IWbemClassObject) {
            *object = static_cast<IWbemClassObject*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long remaining = --references_;
        if (remaining == 0) delete this;
        return static_cast<ULONG>(remaining);
    }

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, long, VARIANT* value, CIMTYPE*, long*) override {
        const auto found = properties_.find(name);
        if (found == properties_.end()) return WBEM_E_NOT_FOUND;
        VariantInit(value);
        return VariantCopy(value, &found->second);
    }

    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR, long, VARIANT*, CIMTYPE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, long, VARIANT*, SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE BeginEnumeration(long) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Next(long, BSTR*, VARIANT*, CIMTYPE*, long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EndEnumeration() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetObjectText(long, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(long, IWbemClassObject**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SpawnInstance(long, IWbemClassObject**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CompareTo(long, IWbemClassObject*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, long, IWbemClassObject**, IWbemClassObject**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, long, IWbemClassObject*, IWbemClassObject*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(long) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NextMethod(long, BSTR*, IWbemClassObject**, IWbemClassObject**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return E_NOTIMPL; }

private:
    virtual ~FakeWbemObject() {
        for (auto& property : properties_) VariantClear(&property.second);
    }

    void put(const wchar_t* name, VARIANT& value) {
        auto found = properties_.find(name);
        if (found != properties_.end()) VariantClear(&found->second);
        properties_[name] = value;
    }

    std::atomic<long> references_{0};
    std::map<std::wstring, VARIANT> properties_;
};

// An __InstanceCreationEvent whose TargetInstance is a Win32_Process with the
// given executable path. The caller owns one reference.
inline FakeWbemObject* processCreationEvent(const wchar_t* executablePath) {
    FakeWbemObject* process = FakeWbemObject::create();
    if (executablePath != nullptr) process->setString(L"ExecutablePath", executablePath);
    else process->setNull(L"ExecutablePath");
    FakeWbemObject* event = FakeWbemObject::create();
    event->setObject(L"TargetInstance", static_cast<IWbemClassObject*>(process));
    process->Release();
    return event;
}

}  // namespace testutil
