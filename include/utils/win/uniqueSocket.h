// Owner of one Winsock socket: closed when the owner goes.
#pragma once

#include <winsock2.h>

#include "utils/win/scopedHandle.h"

struct SocketTraits {
    using handle_type = SOCKET;
    static handle_type invalid() noexcept { return INVALID_SOCKET; }
    static bool isValid(handle_type s) noexcept { return s != INVALID_SOCKET; }
    static void close(handle_type s) noexcept { ::closesocket(s); }
};

using UniqueSocket = ScopedHandle<SocketTraits>;
