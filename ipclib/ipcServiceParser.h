// The listener side of the bus: turns received frame bodies into messages.
#pragma once

#include "ipclib/ipcMessages.h"

#include <memory>
#include <string>

class ipcServiceParser {
public:
    // Parses one frame body and builds the message of the first type key,
    // tested in a fixed order, whose body reads completely. On success `out`
    // receives it (anything it held before is deleted); otherwise false and
    // `out` untouched. Never throws; logs nothing.
    static bool createMessage(const std::string& body, std::unique_ptr<IIpcMessage>& out);
};
