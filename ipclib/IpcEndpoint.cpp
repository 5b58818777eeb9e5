#include "ipclib/IpcEndpoint.h"

#include <algorithm>

bool socketWouldBlock() {
    const int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == 140 || error == 11;
}

std::chrono::milliseconds failurePause(unsigned failuresInARow) {
    const unsigned shift = std::min(failuresInARow, 5u);
    return std::chrono::milliseconds(std::min(1000u, 30u << shift));
}
