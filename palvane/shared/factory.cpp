#include "palvane/shared/factory.h"

#include <new>

#include "palvane/shared/palvaneImpl.h"
#include "utils/twlogger.h"

using PALVANE_SERVICE::Ipalvane;
using PALVANE_SERVICE::PalvaneImpl;

// No exception leaves the library: a failure is a null object.
extern "C" Ipalvane* Constructor() {
    TWLOG(LOG_DEBUG, "Constructor()");
    try {
        return new (std::nothrow) PalvaneImpl();
    } catch (...) {
        return nullptr;
    }
}

// The object was made by Constructor, so it is a PalvaneImpl from this
// library's heap. The log is closed in every case: after this the library
// writes nothing until it is loaded again. The log post sender ends here, not
// at detach, where the loader lock forbids waiting for a thread.
extern "C" void Destructor(Ipalvane* object) {
    TWLOG(LOG_DEBUG, "Destructor()");
    try {
        delete static_cast<PalvaneImpl*>(object);
    } catch (...) {
    }
    closeNetLog();
    closeLogFile();
}
