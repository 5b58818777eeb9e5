// What the watchers of the installed agent (service monitor, process monitor)
// need of the service core: its state flags and its component
// operations. The watchers hold a pointer to this view instead of the whole
// core, and the core outlives them (it deletes them before it frees anything
// they use).
#pragma once

namespace PALVANE_SERVICE {

class IServiceOperation;

class IMonitoredCore {
public:
    // The agent counts as installed; set at construction and when a fresh
    // installation completes.
    virtual bool isAgentInstalled() const = 0;
    // An installation stops, replaces or restores the components now: leave
    // them alone. (An upgrade that only waits for its reboot does not.)
    virtual bool isChangingComponents() const = 0;
    // The core is being stopped: do nothing more.
    virtual bool isStopping() const = 0;
    // The agent is being removed: start none of its programs again.
    virtual bool isBeingRemoved() const = 0;
    // The core's start, stop and install operations over the managed
    // component table; null when the core has none.
    virtual IServiceOperation* serviceOperations() = 0;

protected:
    ~IMonitoredCore() = default;
};

}  // namespace PALVANE_SERVICE
