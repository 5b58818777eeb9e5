// Spaces the attempts at one offered installation that keeps failing (a
// cabinet whose digest never matches, a download URL that answers 404): the
// server offers it again at every tick, and without spacing a machine with no
// agent would fetch tens of megabytes three times a minute for ever. An offer
// that comes again after an attempt was queued means that attempt failed (a
// successful one ends the offer); the next attempt then waits 40 s, 80 s,
// 160 s, then the installed agent's period. A different offer is tried at once.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

namespace PALVANE_SERVICE {

class offer_retry_spacing {
public:
    using Clock = std::function<uint64_t()>;  // milliseconds, never going back

    static constexpr uint64_t kFirstSpacingMs = 40 * 1000;

    offer_retry_spacing(Clock clock, uint64_t maxSpacingMs) : clock_(std::move(clock)), maxSpacingMs_(maxSpacingMs) {}

    // Whether an installation of `offer` may be queued now. The spacing is
    // counted from the first time the offer comes back.
    bool due(const std::string& offer) {
        if (offer != offer_ || attempts_ == 0) return true;
        const uint64_t now = clock_();
        if (retryAt_ == 0) retryAt_ = now + spacing();
        return now >= retryAt_;
    }

    // Milliseconds until the offer is tried again (0 when due).
    uint64_t waitLeft() const {
        const uint64_t now = clock_();
        return retryAt_ > now ? retryAt_ - now : 0;
    }

    void attempted(const std::string& offer) {
        if (offer != offer_) {
            offer_ = offer;
            attempts_ = 0;
        }
        ++attempts_;
        retryAt_ = 0;
    }

private:
    uint64_t spacing() const {
        const unsigned doublings = std::min(attempts_ - 1, 16u);
        return std::min(kFirstSpacingMs << doublings, maxSpacingMs_);
    }

    Clock clock_;
    uint64_t maxSpacingMs_;
    std::string offer_;
    unsigned attempts_ = 0;
    uint64_t retryAt_ = 0;
};

}  // namespace PALVANE_SERVICE
