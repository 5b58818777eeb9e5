// The update runtime library's version: the one place it is defined. The
// version resource carries it; the host records it as "dll_version".
#pragma once

#define PALVANE_VERSION_MAJOR 1
#define PALVANE_VERSION_MINOR 0
#define PALVANE_VERSION_BUILD 0
#define PALVANE_VERSION_REVISION 0

#define PALVANE_VERSION_NUMBERS PALVANE_VERSION_MAJOR, PALVANE_VERSION_MINOR, PALVANE_VERSION_BUILD, PALVANE_VERSION_REVISION

#define PALVANE_TEXT_OF_(x) #x
#define PALVANE_TEXT_OF(x) PALVANE_TEXT_OF_(x)
#define PALVANE_VERSION_TEXT                                                                    \
    PALVANE_TEXT_OF(PALVANE_VERSION_MAJOR) "." PALVANE_TEXT_OF(PALVANE_VERSION_MINOR) "." PALVANE_TEXT_OF( \
        PALVANE_VERSION_BUILD) "." PALVANE_TEXT_OF(PALVANE_VERSION_REVISION)
