// What the bus allows its peers, in one place; tests shrink it.
#pragma once

#include <chrono>
#include <cstddef>

struct IpcLimits {
    // Connections at once: one tray program per session and a few agent
    // processes.
    size_t maxConnections = 64;
    // Connections of one process at once: a program that opens more gives
    // up its oldest, so no program can keep another off the bus.
    size_t maxConnectionsPerProcess = 8;
    // What all peers together may make the bus hold beyond their floors:
    // frames waiting to be sent, and bodies being received or waiting to be
    // handled.
    size_t budgetBytes = 32 * 1024 * 1024;
    // What each connection may hold whatever the others hold: one frame of
    // the largest size (1 MiB and its header) and a read share, so a peer
    // that reads always gets its message, however large.
    size_t floorBytes = 1024 * 1024 + 64 * 1024;
    // A frame that stops advancing for this long is given up and its peer cut
    // off.
    std::chrono::milliseconds frameStall{10000};
    // A peer that takes nothing of what waits for it for this long is cut off.
    std::chrono::milliseconds sendStall{30000};
    // Once the budget is spent, a connection stalled for this long may be cut
    // off to make room for another.
    std::chrono::milliseconds budgetStall{1000};
};
