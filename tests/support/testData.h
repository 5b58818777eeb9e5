// Small things several test programs need: a loopback port nobody listens on,
// and repeatable random bytes.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <string>

namespace testutil {

// A port on 127.0.0.1 that is bound but not listening while this object
// lives, so a connection to it is refused.
class ClosedPort {
public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;

    uint16_t port() const { return port_; }

private:
    SOCKET socket_;
    uint16_t port_ = 0;
};

// `length` bytes from a generator seeded with `seed`: the same every run.
std::string randomBytes(size_t length, unsigned seed);

}  // namespace testutil
