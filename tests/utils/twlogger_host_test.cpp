#include <windows.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/testUtil.h"
#include "utils/twlogger.h"
#include "utils/twlogger_host.h"

namespace {

// Bytes a text-mode copy would lose or alter: CR LF, a Ctrl+Z in the middle, a NUL.
const std::string kPredecessorBytes =
    std::string("older line\r\nctrl-z \x1A then more\r\n") + std::string(1, '\0') + "after a nul\r\n";

std::string gunzip(const std::string& path) {
    gzFile stream = gzopen(path.c_str(), "rb");
    if (stream == nullptr) return "<no archive>";
    std::string content;
    char buffer[4096];
    int read = 0;
    while ((read = gzread(stream, buffer, sizeof(buffer))) > 0) content.append(buffer, static_cast<size_t>(read));
    gzclose(stream);
    return read < 0 ? "<corrupt archive>" : content;
}

std::string readAll(const std::string& path) {
    std::string content;
    testutil::readFile(path, content);
    return content;
}

class LogPacking : public ::testing::Test {
protected:
    void SetUp() override {
        logPath_ = dir_.file("palvanesvc.log");
        setMaxLogFileSize(1000000000);
        setLogFile(logPath_.c_str());
        setFileLogLevel(8);
    }
    void TearDown() override {
        setLogUploadUrl(nullptr);
        closeLogFile();
        setLogFile("");
        g_fileLogLevel.store(-1);
        setMaxLogFileSize(1000000);
    }

    std::string predecessor() const { return logPath_ + ".1"; }
    std::string archive() const { return dir_.file("upload.log.gz"); }
    bool temporariesLeft() const {
        return testutil::fileExists(logPath_ + ".tmp") || testutil::fileExists(predecessor() + ".tmp");
    }

    testutil::TempDir dir_;
    std::string logPath_;
};

}  // namespace

TEST_F(LogPacking, ArchiveHoldsThePredecessorThenTheLogByteForByte) {
    ASSERT_TRUE(testutil::writeFile(predecessor(), kPredecessorBytes));
    TWLOG(LOG_INFO, "current \x1A line");
    closeLogFile();
    const std::string logBytes = readAll(logPath_);

    ASSERT_TRUE(packLogsForUpload());
    EXPECT_EQ(logUploadArchivePath(), archive());
    EXPECT_EQ(gunzip(archive()), kPredecessorBytes + logBytes);
    EXPECT_FALSE(temporariesLeft());
    EXPECT_EQ(readAll(predecessor()), kPredecessorBytes);
    EXPECT_EQ(readAll(logPath_), logBytes);

    // The logger's file was closed for the copy; the next line opens it again.
    TWLOG(LOG_INFO, "still logging");
    closeLogFile();
    EXPECT_NE(readAll(logPath_).find("still logging"), std::string::npos);
}

TEST_F(LogPacking, NothingToPackOrAFailedArchiveIsReportedAndLeavesNothingBehind) {
    EXPECT_FALSE(packLogsForUpload());
    EXPECT_FALSE(testutil::fileExists(archive()));

    // An archive that cannot be written: a folder stands in its place.
    ASSERT_TRUE(testutil::writeFile(predecessor(), kPredecessorBytes));
    ASSERT_TRUE(CreateDirectoryA(archive().c_str(), nullptr));
    EXPECT_FALSE(packLogsForUpload());
    EXPECT_FALSE(temporariesLeft());
    EXPECT_EQ(readAll(predecessor()), kPredecessorBytes);
    closeLogFile();
    EXPECT_NE(readAll(logPath_).find("gzopen() failed"), std::string::npos);
    RemoveDirectoryA(archive().c_str());

    // A stale temporary is replaced, not packed.
    ASSERT_TRUE(testutil::writeFile(predecessor() + ".tmp", "stale"));
    ASSERT_TRUE(packLogsForUpload());
    closeLogFile();
    EXPECT_EQ(gunzip(archive()), kPredecessorBytes + readAll(logPath_));
    EXPECT_FALSE(temporariesLeft());
}

TEST_F(LogPacking, UploadWithoutUrlFailsWithoutPacking) {
    TWLOG(LOG_INFO, "something to pack");
    EXPECT_FALSE(requestLogUpload());
    closeLogFile();
    const std::string text = readAll(logPath_);
    EXPECT_NE(text.find("< Crit   > "), std::string::npos);
    EXPECT_NE(text.find("Requested log upload, but no URL to upload to.  Failing"), std::string::npos);
    EXPECT_FALSE(testutil::fileExists(archive()));
}

TEST_F(LogPacking, ConcurrentPackingsNeverShareTheirFiles) {
    setLogUploadUrl("http://127.0.0.1:1/upload");
    ASSERT_TRUE(testutil::writeFile(predecessor(), kPredecessorBytes));
    std::atomic<bool> stop{false};
    std::thread writer([&stop] {
        while (!stop) TWLOG(LOG_INFO, "busy line");
    });
    std::atomic<int> directFailures{0};
    std::atomic<int> requested{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> packers;
    for (int t = 0; t < 2; ++t) {
        packers.emplace_back([&] {
            for (int i = 0; i < 8; ++i) {
                if (!packLogsForUpload()) ++directFailures;
            }
        });
    }
    for (int t = 0; t < 3; ++t) {
        packers.emplace_back([&] {
            for (int i = 0; i < 8; ++i) (requestLogUpload() ? requested : refused)++;
        });
    }
    for (std::thread& packer : packers) packer.join();
    stop = true;
    writer.join();

    EXPECT_EQ(directFailures.load(), 0);
    EXPECT_GT(requested.load(), 0);
    EXPECT_FALSE(temporariesLeft());
    const std::string packed = gunzip(archive());
    EXPECT_EQ(packed.compare(0, kPredecessorBytes.size(), kPredecessorBytes), 0);
    EXPECT_NE(packed.find("busy line"), std::string::npos);
    // Every refusal was a request that met another one under way.
    closeLogFile();
    const std::string text = readAll(logPath_);
    int refusalLines = 0;
    for (size_t at = text.find("upload already in progress"); at != std::string::npos;
         at = text.find("upload already in progress", at + 1)) {
        ++refusalLines;
    }
    EXPECT_EQ(refusalLines, refused.load());
}

TEST_F(LogPacking, RemovingTheLogsClosesTheOpenFileFirst) {
    TWLOG(LOG_INFO, "opens the file");
    ASSERT_TRUE(testutil::writeFile(predecessor(), "old"));
    EXPECT_TRUE(removeLogFiles());
    EXPECT_FALSE(testutil::fileExists(logPath_));
    EXPECT_FALSE(testutil::fileExists(predecessor()));
    TWLOG(LOG_INFO, "a new file");
    closeLogFile();
    const std::string text = readAll(logPath_);
    EXPECT_NE(text.find("a new file"), std::string::npos);
    EXPECT_EQ(text.find("opens the file"), std::string::npos);
}

TEST_F(LogPacking, AppendingCountsAMissingFileAsEmptyButFailsOnAnUnreadableOne) {
    gzFile stream = gzopen(archive().c_str(), "wb");
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(gzAppendFile(dir_.file("missing.log"), stream));
    const std::string folder = dir_.path().substr(0, dir_.path().size() - 1);
    EXPECT_FALSE(gzAppendFile(folder, stream));
    gzclose(stream);
    EXPECT_FALSE(gzAppendFile(logPath_, nullptr));
    EXPECT_EQ(gunzip(archive()), "");
}
