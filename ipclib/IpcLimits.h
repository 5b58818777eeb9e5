// What the bus allows its peers, in one place; tests shrink it.
#pragma once

#include <chrono>
#include <cstddef>

struct IpcLimits {
    // Connections at once: one tray program per session and a few agent
    // processes.
    size_t maxConnections = 64;
    // What all peers together may make the bus hold: frames waiting to be
    // sent, and bodies being received or waiting to be handled.
    size_t budgetBytes = 32 * 1024 * 1024;
    // A frame whose bytes stop arriving for this long is given up and its
    // peer cut off.
    std::chrono::milliseconds frameStall{10000};
    // A peer that takes none of what waits for it for this long is cut off.
    std::chrono::milliseconds sendStall{30000};
};
