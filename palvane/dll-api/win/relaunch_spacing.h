// Spaces the restarts of something that keeps dying: the first restart comes
// at once, then after 1, 2, 4... passes, at most 32 passes apart, until it is
// seen running again. A program or service that fails at every start is then
// not started (and its failure not logged and posted) every ten seconds for ever.
#pragma once

#include <algorithm>

namespace PALVANE_SERVICE {

class relaunch_spacing {
public:
    static constexpr unsigned kMaxPassesApart = 32;

    // Called at each pass that finds it dead: true when it is to be started now.
    bool due() {
        if (passes_to_skip_ == 0) return true;
        --passes_to_skip_;
        return false;
    }
    // It was started (or tried) at this pass.
    void started() {
        const unsigned apart = 1u << std::min(restarts_, 5u);
        passes_to_skip_ = std::min(apart, kMaxPassesApart) - 1;
        ++restarts_;
    }
    void seen_running() { restarts_ = passes_to_skip_ = 0; }

private:
    // Restarts since it was last seen running.
    unsigned restarts_ = 0;
    unsigned passes_to_skip_ = 0;
};

}  // namespace PALVANE_SERVICE
