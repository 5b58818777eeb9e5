#include "ipclib/IpcEndpoint.h"

bool socketWouldBlock() {
    const int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == 140 || error == 11;
}
