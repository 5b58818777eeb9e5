#include <gtest/gtest.h>

#include <random>
#include <string>

#include "palvane/shared/downloadMgr.h"
#include "support/fileTreeUtil.h"
#include "support/localUpdateServer.h"
#include "support/testData.h"
#include "support/testUtil.h"
#include "utils/twlogger.h"

using PALVANE_SERVICE::downloadMgr;
using testutil::LocalUpdateServer;
using testutil::ScriptedResponse;

namespace {

using testutil::randomBytes;

std::string upper(std::string text) {
    for (auto& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

// An install folder inside a scratch folder, so that files written beside or
// above the install folder show up.
class CabinetDownload : public ::testing::Test {
protected:
    void SetUp() override {
        installFolder_ = scratch_.file("install\\");
        ASSERT_TRUE(CreateDirectoryA(installFolder_.c_str(), nullptr));
    }

    std::string url(const std::string& path) const { return server_.baseUrl() + path; }

    // Every name in the scratch folder other than the install folder itself.
    std::vector<std::string> strayFiles() const {
        std::vector<std::string> names;
        WIN32_FIND_DATAA data;
        HANDLE find = FindFirstFileA(scratch_.file("*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return names;
        do {
            const std::string name = data.cFileName;
            if (name != "." && name != ".." && name != "install") names.push_back(name);
        } while (FindNextFileA(find, &data));
        FindClose(find);
        return names;
    }

    testutil::TempDir scratch_;
    std::string installFolder_;
    LocalUpdateServer server_;
};

}  // namespace

TEST_F(CabinetDownload, SeveralMegabytesArriveAndPassTheDigest) {
    const std::string cabinet = randomBytes(5 * 1024 * 1024 + 17, 11);
    server_.expect("GET", "/cabs/agent.cab", ScriptedResponse::cabinet(cabinet, "Agent-2.0.CAB"));
    testutil::LogCapture capture(LOG_DEBUG);
    std::string path;
    {
        downloadMgr download(installFolder_, false);
        ASSERT_TRUE(download.do_get(url("cabs/agent.cab"), testutil::sha256Hex(cabinet)));
        path = download.installer_file();
        EXPECT_EQ(path, installFolder_ + "agent-2.0.cab");
        std::string written;
        ASSERT_TRUE(testutil::readFile(path, written));
        EXPECT_TRUE(written == cabinet);
    }
    EXPECT_TRUE(testutil::fileExists(path)) << "an upgrade's cabinet must survive";
    EXPECT_TRUE(testutil::closedToUsers(path));
    EXPECT_TRUE(capture.contains(" download_url=" + url("cabs/agent.cab") + " md5Hash=")) << capture.text();
    EXPECT_TRUE(capture.contains("Checking md5 Computed ")) << capture.text();
}

TEST_F(CabinetDownload, AFreshInstallationsCabinetGoesWithTheObject) {
    server_.expect("GET", "/a.cab", ScriptedResponse::cabinet(std::string("cabinet"), "a.cab"));
    std::string path;
    {
        downloadMgr download(installFolder_, true);
        ASSERT_TRUE(download.do_get(url("a.cab"), ""));
        path = download.installer_file();
        EXPECT_TRUE(testutil::fileExists(path));
    }
    EXPECT_FALSE(testutil::fileExists(path));
}

TEST_F(CabinetDownload, DigestMustMatchExactly) {
    const std::string cabinet = randomBytes(70000, 12);
    server_.expect("GET", "/a.cab", ScriptedResponse::cabinet(cabinet, "a.cab"), 3);
    testutil::LogCapture capture(LOG_ERROR);
    ASSERT_TRUE(testutil::writeFile(installFolder_ + "a.cab", "waiting"));
    downloadMgr download(installFolder_, false);
    EXPECT_FALSE(download.do_get(url("a.cab"), testutil::sha256Hex(cabinet + "x")));
    EXPECT_TRUE(capture.contains("Checksum didn't match.  Computed " + testutil::sha256Hex(cabinet) + " expected "))
        << capture.text();
    EXPECT_FALSE(download.do_get(url("a.cab"), upper(testutil::sha256Hex(cabinet))));
    std::string kept;
    ASSERT_TRUE(testutil::readFile(installFolder_ + "a.cab", kept));
    EXPECT_EQ(kept, "waiting") << "a download that failed its digest replaced a file";
    EXPECT_FALSE(testutil::fileExists(installFolder_ + "a.cab.part"));
    // A complete download without a digest is accepted, as the server may rely on.
    EXPECT_TRUE(download.do_get(url("a.cab"), ""));
}

// Some WinHTTP builds end a body cut short like a complete one; the announced
// length is what gives it away.
TEST_F(CabinetDownload, ABodyCutShortFailsEvenWithoutADigest) {
    const std::string cabinet = randomBytes(300000, 13);
    ScriptedResponse cut = ScriptedResponse::cabinet(cabinet, "a.cab");
    cut.truncateAfter = 100000;
    server_.expect("GET", "/a.cab", cut, 2);
    downloadMgr download(installFolder_, false);
    EXPECT_FALSE(download.do_get(url("a.cab"), ""));
    EXPECT_FALSE(download.do_get(url("a.cab"), testutil::sha256Hex(cabinet)));
}

TEST_F(CabinetDownload, ServerErrorsFail) {
    server_.expect("GET", "/missing.cab", ScriptedResponse::error(404));
    server_.expect("GET", "/broken.cab", ScriptedResponse::error(500));
    testutil::LogCapture capture(LOG_ERROR);
    downloadMgr download(installFolder_, true);
    EXPECT_FALSE(download.do_get(url("missing.cab"), ""));
    EXPECT_FALSE(download.do_get(url("broken.cab"), ""));
    EXPECT_TRUE(capture.contains("downloadMgr::downloadFailure() msg=Unknown http error: 404")) << capture.text();
    EXPECT_TRUE(download.installer_file().empty());
}

TEST_F(CabinetDownload, MissingOrHostileFileNamesWriteNothing) {
    const char* const names[] = {"", "../evil.cab", "..\\evil.cab", "sub\\evil.cab", "c:evil.cab", "evil.cab:ads",
                                 "con"};
    for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i) {
        server_.expect("GET", "/n" + std::to_string(i) + ".cab", ScriptedResponse::cabinet(std::string("x"), names[i]));
    }
    {
        downloadMgr download(installFolder_, true);
        for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i) {
            EXPECT_FALSE(download.do_get(url("n" + std::to_string(i) + ".cab"), "")) << names[i];
            EXPECT_TRUE(download.installer_file().empty()) << names[i];
        }
    }
    EXPECT_TRUE(strayFiles().empty());
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((installFolder_ + "*").c_str(), &data);
    int entries = 0;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (std::string(data.cFileName) != "." && std::string(data.cFileName) != "..") ++entries;
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    EXPECT_EQ(entries, 0);
}

TEST_F(CabinetDownload, AFileThatCannotBeWrittenFailsEvenWithoutADigest) {
    server_.expect("GET", "/a.cab", ScriptedResponse::cabinet(std::string("cabinet"), "a.cab"));
    testutil::LogCapture capture(LOG_ERROR);
    downloadMgr download(scratch_.file("no-such-folder\\"), false);
    EXPECT_FALSE(download.do_get(url("a.cab"), ""));
    EXPECT_TRUE(capture.contains("Catch an exception: ")) << capture.text();
}

TEST_F(CabinetDownload, AnOlderFileOfTheSameNameIsReplaced) {
    ASSERT_TRUE(testutil::writeFile(installFolder_ + "a.cab", std::string(100000, 'o')));
    const std::string cabinet = randomBytes(5000, 14);
    server_.expect("GET", "/a.cab", ScriptedResponse::cabinet(cabinet, "a.cab"));
    downloadMgr download(installFolder_, false);
    ASSERT_TRUE(download.do_get(url("a.cab"), testutil::sha256Hex(cabinet)));
    std::string written;
    ASSERT_TRUE(testutil::readFile(installFolder_ + "a.cab", written));
    EXPECT_TRUE(written == cabinet);
}

TEST(FileHash, DigestOfFilesAndOfNothing) {
    testutil::TempDir dir;
    EXPECT_EQ(downloadMgr::compute_file_hash(dir.file("missing")), "");
    for (size_t length : {0u, 64u, 1000u, 65536u, 65600u}) {
        const std::string content = randomBytes(length, static_cast<unsigned>(length));
        ASSERT_TRUE(testutil::writeFile(dir.file("f"), content));
        EXPECT_EQ(downloadMgr::compute_file_hash(dir.file("f")), testutil::sha256Hex(content)) << length;
    }
}
