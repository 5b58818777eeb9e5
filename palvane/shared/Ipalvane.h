// The contract between the service host and the update runtime library: the
// root object's interface and the two exports that create and free it. Both
// deliverables include this one header and are built with one compiler and
// one standard library, because the callback crosses the boundary by value.
#pragma once

#include <functional>

namespace PALVANE_SERVICE {

// Asks the host to load the copy of the library that the runtime placed in
// its folder. Called on a runtime thread; the host must return at once.
using ReloadCallback = std::function<void()>;

// No virtual destructor on purpose: the object is freed only by the library's
// own Destructor, with the library's own heap. The slot order is part of the
// contract and must not change.
class Ipalvane {
public:
    virtual void StartMonitoring(ReloadCallback callback) = 0;  // slot 0
    virtual void StopMonitoring() = 0;                          // slot 1
    virtual bool RemoveInstalledService() = 0;                  // slot 2

protected:
    ~Ipalvane() = default;
};

}  // namespace PALVANE_SERVICE

// The exports, looked up by these names (ordinals 1 and 2).
extern "C" {
PALVANE_SERVICE::Ipalvane* Constructor();
void Destructor(PALVANE_SERVICE::Ipalvane* object);
}

namespace PALVANE_SERVICE {
using ConstructorFn = Ipalvane* (*)();
using DestructorFn = void (*)(Ipalvane*);

inline constexpr const char* kConstructorExport = "Constructor";
inline constexpr const char* kDestructorExport = "Destructor";
}  // namespace PALVANE_SERVICE
