#include "palvane/shared/query_upgrade.h"

#include <json/json.h>

#include "utils/configKeys.h"
#include "utils/twlogger.h"
#include "utils/win/localconfig.h"

namespace PALVANE_SERVICE {

namespace {

constexpr const char* kClientName = "quillmark_palvane";
constexpr uint32_t kStatusBeforeAnswer = 500;
// A real answer is a few hundred bytes; anything near this is not one, and
// is neither parsed nor written whole into the log (nor posted with it).
constexpr size_t kMaxAnswerBytes = 64 * 1024;
constexpr size_t kLoggedAnswerBytes = 1024;

std::string shownAnswer(const std::string& body) {
    if (body.size() <= kLoggedAnswerBytes) return body;
    return body.substr(0, kLoggedAnswerBytes) + "... (" + std::to_string(body.size()) + " bytes)";
}

// Scalars read as text the way the server has always been read; arrays and
// objects have no text and fail the answer.
bool readTextMember(const Json::Value& root, const char* key, std::string& field) {
    if (!root.isMember(key)) return true;
    TWLOG(LOG_DEBUG, "Reading " << key);
    const Json::Value& value = root[key];
    if (value.isArray() || value.isObject()) {
        TWLOG(LOG_ERROR, "Unexpected type of " << key << " in JSON response payload.");
        return false;
    }
    field = value.asString();
    return true;
}

}  // namespace

query_upgrade::query_upgrade(IUpgradeQueryOwner* owner) : owner_(owner) {}

query_upgrade::~query_upgrade() {
    std::lock_guard<std::mutex> lock(clientLock_);
    if (client_) client_->closeRequest();
    client_.reset();
}

void query_upgrade::cancel() {
    std::lock_guard<std::mutex> lock(clientLock_);
    cancelled_ = true;
    if (client_) client_->closeRequest();
}

bool query_upgrade::cancelled() {
    std::lock_guard<std::mutex> lock(clientLock_);
    return cancelled_;
}

std::string query_upgrade::queryUrl() const {
    return owner_->environment() + "check_agent_updates?guid=" + owner_->machineGuid() +
           "&force_install=" + (owner_->isAgentInstalled() ? "false" : "true") +
           "&initial_version=" + owner_->installedVersion() + "&operating_system=" + "Windows";
}

http_helper* query_upgrade::newClient(const UrlParts& parts) {
    std::lock_guard<std::mutex> lock(clientLock_);
    client_ = std::make_unique<http_helper>(kClientName, parts.host, parts.port, false, "", 0, parts.secure);
    if (cancelled_) client_->closeRequest();
    return client_.get();
}

// Nothing may leave a query: it runs on the timer thread, and an exception
// there would also skip what the caller does after the query.
bool query_upgrade::query() {
    try {
        return askServer();
    } catch (const std::exception& error) {
        TWLOG(LOG_ERROR, "Failed to get download information: " << error.what());
    } catch (...) {
        TWLOG(LOG_ERROR, "Failed to get download information: unknown exception");
    }
    return false;
}

bool query_upgrade::askServer() {
    const std::string url = queryUrl();
    const UrlParts parts = parseUrl(url);
    const std::string header = std::string("cid:") + owner_->cid() + "\r\n";
    TWLOG(LOG_DEBUG, "query_url=" << url);

    http_helper* client = newClient(parts);
    client->setMaxBodyBytes(kMaxAnswerBytes);
    uint32_t status = kStatusBeforeAnswer;
    std::string body;
    if (!client->get(nullptr, parts.path, header.c_str(), status, body)) {
        TWLOG(LOG_ERROR, "Failed to get download information: " << client->errorText());
        return false;
    }
    // An answer that still arrived whole after a cancel is not acted on.
    if (cancelled()) {
        TWLOG(LOG_INFO, "The update query was cancelled.");
        return false;
    }
    if (body.empty()) {
        TWLOG(LOG_ERROR, "Empty HTTP GET response.");
        return false;
    }
    if (!parse_response(body)) {
        TWLOG(LOG_ERROR, "Failed to parse: " << shownAnswer(body));
        return false;
    }
    if (!owner_->isAgentInstalled()) {
        install_type = fresh_install;
    } else if (is_upgrade_needed()) {
        install_type = upgrade;
    }
    return true;
}

// The reader throws on an answer nested deeper than it allows; such an
// answer fails like any other that is not the expected object.
bool query_upgrade::parse_response(const std::string& body) {
    Json::Value root;
    bool parsed = false;
    if (body.size() <= kMaxAnswerBytes) {
        try {
            parsed = Json::Reader().parse(body, root) && root.isObject();
        } catch (const std::exception&) {
            parsed = false;
        }
    }
    if (!parsed) {
        TWLOG(LOG_ERROR, "Failed to parse json string:" << shownAnswer(body));
        return false;
    }
    std::string autoUpgradeText;
    const bool hasAutoUpgrade = root.isMember(configKeys::AUTO_UPGRADE);
    if (!readTextMember(root, configKeys::UPGRADE_VERSION, upgrade_version) ||
        !readTextMember(root, configKeys::DOWNLOAD_URL, download_url) ||
        !readTextMember(root, configKeys::SHA256_HASH, sha256Hash) ||
        !readTextMember(root, configKeys::AUTO_UPGRADE, autoUpgradeText)) {
        return false;
    }
    if (hasAutoUpgrade) auto_upgrade = autoUpgradeText == "true";
    TWLOG(LOG_INFO, "upgrade_version=" << upgrade_version << " sha256_hash=" << sha256Hash
                                       << " auto_upgrade=" << (auto_upgrade ? 1 : 0));
    return true;
}

bool query_upgrade::is_upgrade_needed() {
    if (!auto_upgrade) return false;
    std::string installedVersion;
    localConfig settings(true);
    if (!settings.getString(configKeys::INSTALLED_VERSION, installedVersion)) {
        TWLOG(LOG_ERROR, "Failed to read agent installed version");
        installedVersion.clear();
    }
    if (upgrade_version.empty()) {
        TWLOG(LOG_ERROR, "Upgrade version is not set from JSON response payload.");
        return false;
    }
    return upgrade_version != installedVersion;
}

}  // namespace PALVANE_SERVICE
