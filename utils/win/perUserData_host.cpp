#include "utils/twlogger.h"
#include "utils/win/localconfig.h"
#include "utils/win/perUserData.h"

bool perUserData::getString(const char* name, std::string& value) {
    if (!key_) return false;
    LONG result = ERROR_SUCCESS;
    if (readRegistryText(key_.get(), name, value, result)) return true;
    TWLOG(LOG_DEBUG, "Failed to read key " << name << " error " << result);
    return false;
}
