// A listening TCP socket on 127.0.0.1 at a port the system picks, for tests
// and benchmarks that play a server which must misbehave.
#pragma once

#include <winsock2.h>

#include <cstdint>

namespace testutil {

// INVALID_SOCKET when it cannot listen; `port` then stays 0.
SOCKET listenOnLoopback(uint16_t& port, int backlog = 16);

}  // namespace testutil
