// A service core as the watchers see it: the flags the test sets and the
// component operations it hands in.
#pragma once

#include <atomic>

#include "palvane/shared/IMonitoredCore.h"

namespace testutil {

class FakeMonitoredCore : public PALVANE_SERVICE::IMonitoredCore {
public:
    bool isAgentInstalled() const override { return agentInstalled; }
    bool isChangingComponents() const override { return ++asked, changingComponents.load(); }
    bool isStopping() const override { return stopping; }
    bool isBeingRemoved() const override { return beingRemoved; }
    PALVANE_SERVICE::IServiceOperation* serviceOperations() override { return operations; }

    std::atomic<bool> agentInstalled{true};
    std::atomic<bool> changingComponents{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> beingRemoved{false};
    mutable std::atomic<int> asked{0};  // a pass asked whether it may act
    PALVANE_SERVICE::IServiceOperation* operations = nullptr;
};

}  // namespace testutil
