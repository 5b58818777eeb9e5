// The library's two exports, Constructor and Destructor. Their declarations
// live in Ipalvane.h, the one header the service host and the library share.
#pragma once

#include "palvane/shared/Ipalvane.h"
