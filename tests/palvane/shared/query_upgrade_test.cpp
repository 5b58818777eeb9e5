#include <winsock2.h>

#include <gtest/gtest.h>

#include <string>

#include "palvane/shared/query_upgrade.h"
#include "support/localUpdateServer.h"
#include "support/testData.h"
#include "support/testUtil.h"
#include "utils/configKeys.h"
#include "utils/twlogger.h"

using namespace PALVANE_SERVICE;
using testutil::LocalUpdateServer;
using testutil::ScriptedResponse;

namespace {

class FixedOwner : public IUpgradeQueryOwner {
public:
    bool isAgentInstalled() const override { return installed; }
    std::string installedVersion() const override { return version; }
    std::string environment() const override { return base; }
    std::string cid() const override { return customer; }
    std::string machineGuid() const override { return guid; }

    bool installed = false;
    std::string version;
    std::string base;
    std::string customer = "cust-42";
    std::string guid = "4C4C4544-0031-3510-8052-B4C04F4E3132";
};

const char* const kQueryPrefix = "/check_agent_updates?";

class UpdateQuery : public ::testing::Test {
protected:
    void SetUp() override { owner_.base = server_.baseUrl(); }

    // One query against an answer; the outcome and the object for inspection.
    bool ask(const ScriptedResponse& answer, std::unique_ptr<query_upgrade>& query) {
        server_.expect("GET", kQueryPrefix, answer);
        query = std::make_unique<query_upgrade>(&owner_);
        return query->query();
    }

    static std::string answer(const std::string& version, const std::string& autoUpgrade) {
        return "{\"upgrade_version\":\"" + version +
               "\",\"download_url\":\"https://cdn.example/agent.cab\",\"sha256Hash\":\"abc123\",\"auto_upgrade\":" +
               autoUpgrade + "}";
    }

    testutil::MachineSettingsSandbox settings_;
    LocalUpdateServer server_;
    FixedOwner owner_;
};

}  // namespace

TEST_F(UpdateQuery, RequestLineAndCidForAnAgentNotInstalledAndInstalled) {
    std::unique_ptr<query_upgrade> query;
    ASSERT_TRUE(ask(ScriptedResponse::json(answer("2.0", "true")), query));
    owner_.installed = true;
    owner_.version = "1.5.0.7";
    settings_.set(configKeys::INSTALLED_VERSION, "1.5.0.7");
    ASSERT_TRUE(ask(ScriptedResponse::json(answer("2.0", "true")), query));
    server_.stop();

    const auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target,
              "/check_agent_updates?guid=4C4C4544-0031-3510-8052-B4C04F4E3132&force_install=true&initial_version=&"
              "operating_system=Windows");
    EXPECT_EQ(requests[1].target,
              "/check_agent_updates?guid=4C4C4544-0031-3510-8052-B4C04F4E3132&force_install=false&initial_version="
              "1.5.0.7&operating_system=Windows");
    for (const auto& request : requests) {
        EXPECT_EQ(request.header("cid"), "cust-42");
        EXPECT_EQ(request.header("User-Agent"), "quillmark_palvane");
    }
}

TEST_F(UpdateQuery, TheBaseUrlIsUsedAsItStands) {
    owner_.base = "http://127.0.0.1:" + std::to_string(server_.port()) + "/api/v1";
    server_.expect("GET", "/api/v1check_agent_updates?guid=", ScriptedResponse::json(answer("1", "true")));
    query_upgrade query(&owner_);
    EXPECT_TRUE(query.query());
}

TEST_F(UpdateQuery, AnAgentNotInstalledIsAlwaysAFreshInstallation) {
    for (const std::string& body : {answer("2.0", "true"), answer("", "false"), std::string("{}")}) {
        std::unique_ptr<query_upgrade> query;
        ASSERT_TRUE(ask(ScriptedResponse::json(body), query)) << body;
        EXPECT_EQ(query->install_type, fresh_install) << body;
    }
    std::unique_ptr<query_upgrade> query;
    ASSERT_TRUE(ask(ScriptedResponse::json(answer("3.1", "true")), query));
    EXPECT_EQ(query->upgrade_version, "3.1");
    EXPECT_EQ(query->download_url, "https://cdn.example/agent.cab");
    EXPECT_EQ(query->sha256Hash, "abc123");
    EXPECT_TRUE(query->auto_upgrade);
}

TEST_F(UpdateQuery, DecisionForAnInstalledAgent) {
    owner_.installed = true;
    owner_.version = "1.0";
    settings_.set(configKeys::INSTALLED_VERSION, "1.0");
    struct Case {
        std::string body;
        int32_t expected;
    };
    const Case cases[] = {
        {answer("2.0", "true"), upgrade},
        {answer("2.0", "\"true\""), upgrade},
        {answer("0.9", "true"), upgrade},  // versions are not ordered
        {answer("1.0", "true"), no_update},
        {answer("2.0", "\"True\""), no_update},
        {answer("2.0", "\"1\""), no_update},
        {answer("2.0", "1"), no_update},
        {answer("2.0", "false"), no_update},
        {"{\"upgrade_version\":\"2.0\"}", no_update},
        {"{\"auto_upgrade\":true}", no_update},
    };
    for (const Case& c : cases) {
        std::unique_ptr<query_upgrade> query;
        ASSERT_TRUE(ask(ScriptedResponse::json(c.body), query)) << c.body;
        EXPECT_EQ(query->install_type, c.expected) << c.body;
    }
}

TEST_F(UpdateQuery, AMissingVersionIsNoUpdateWithItsLine) {
    owner_.installed = true;
    settings_.set(configKeys::INSTALLED_VERSION, "1.0");
    testutil::LogCapture capture(LOG_ERROR);
    std::unique_ptr<query_upgrade> query;
    ASSERT_TRUE(ask(ScriptedResponse::json("{\"auto_upgrade\":true}"), query));
    EXPECT_EQ(query->install_type, no_update);
    EXPECT_TRUE(capture.contains("Upgrade version is not set from JSON response payload.")) << capture.text();
}

TEST_F(UpdateQuery, ServerFailuresFailTheQuery) {
    testutil::LogCapture capture(LOG_ERROR);
    std::unique_ptr<query_upgrade> query;
    EXPECT_FALSE(ask(ScriptedResponse::error(404), query));
    EXPECT_TRUE(capture.contains("Failed to get download information: HTTP returned code:404")) << capture.text();
    EXPECT_FALSE(ask(ScriptedResponse::error(500), query));
    EXPECT_TRUE(capture.contains("Failed to get download information: HTTP returned code:500")) << capture.text();
    EXPECT_FALSE(ask(ScriptedResponse::json(""), query));
    EXPECT_TRUE(capture.contains("Empty HTTP GET response.")) << capture.text();
}

TEST_F(UpdateQuery, ARefusedConnectionFailsTheQuery) {
    testutil::ClosedPort unused;
    owner_.base = "http://127.0.0.1:" + std::to_string(unused.port()) + "/";
    testutil::LogCapture capture(LOG_ERROR);
    query_upgrade query(&owner_);
    EXPECT_FALSE(query.query());
    EXPECT_TRUE(capture.contains("Failed to get download information: ")) << capture.text();
}

// Answers that are JSON but not the object the query expects fail with a
// level-3 line; nothing escapes as an exception onto the timer thread.
TEST_F(UpdateQuery, AnswersThatAreNotTheExpectedObjectFail) {
    owner_.installed = true;
    settings_.set(configKeys::INSTALLED_VERSION, "1.0");
    for (const std::string& body :
         {std::string("not json at all"), std::string("[1,2,3]"), std::string("42"), std::string("\"text\""),
          std::string("{\"upgrade_version\":[\"2.0\"],\"auto_upgrade\":true}"),
          std::string("{\"download_url\":{\"href\":\"x\"}}"), std::string("{\"sha256Hash\":[]}"),
          std::string("{\"auto_upgrade\":{}}")}) {
        testutil::LogCapture capture(LOG_ERROR);
        std::unique_ptr<query_upgrade> query;
        bool result = true;
        EXPECT_NO_THROW(result = ask(ScriptedResponse::json(body), query)) << body;
        EXPECT_FALSE(result) << body;
        EXPECT_TRUE(capture.contains("Failed to parse: " + body)) << capture.text();
    }
}

TEST_F(UpdateQuery, ACancelBeforeTheQueryKeepsItFromBeingSent) {
    query_upgrade query(&owner_);
    query.cancel();
    EXPECT_FALSE(query.query());
    server_.stop();
    EXPECT_EQ(server_.requestCount(), 0u);
}
