// One update query: asks the update server whether an agent is to be
// installed or upgraded and keeps the answer for the service core, which
// reads the public fields after a successful query().
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "palvane/shared/upgradeQueryOwner.h"
#include "utils/win/http_helper.h"

namespace PALVANE_SERVICE {

enum install_type_t : int32_t {
    fresh_install = 0,
    upgrade = 1,
    no_update = 2,
};

class query_upgrade {
public:
    explicit query_upgrade(IUpgradeQueryOwner* owner);
    virtual ~query_upgrade();

    query_upgrade(const query_upgrade&) = delete;
    query_upgrade& operator=(const query_upgrade&) = delete;

    // Sends the request, parses the answer and decides install_type. True
    // means a usable answer. Never throws: every failure is a false with its
    // log line.
    bool query();
    bool parse_response(const std::string& body);
    bool is_upgrade_needed();
    // From another thread: ends a query under way and refuses a later one.
    void cancel();

    std::string upgrade_version;
    std::string download_url;
    std::string sha256Hash;
    bool auto_upgrade = false;
    int32_t install_type = no_update;

private:
    bool askServer();
    bool cancelled();
    std::string queryUrl() const;
    http_helper* newClient(const UrlParts& parts);

    IUpgradeQueryOwner* owner_;
    std::mutex clientLock_;
    std::unique_ptr<http_helper> client_;
    bool cancelled_ = false;
};

}  // namespace PALVANE_SERVICE
