#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>
#include <json/json.h>
#include <zlib.h>

#include <map>
#include <random>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "support/testUtil.h"
#include "utils/twlogger.h"

namespace {

std::vector<std::string> splitCrLfLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

const std::regex kLinePattern(
    R"(^(JAN|FEB|MAR|APR|MAY|JUN|JUL|AUG|SEP|OCT|NOV|DEC) [ \d]\d [ \d]\d:\d\d:\d\d:\d\d\d \[\d{8,}\] < (.{6,8}) > twlogger_test\.cpp:\d+  (.*)$)");

class LoggerFileTest : public ::testing::Test {
protected:
    void TearDown() override {
        closeLogFile();
        setLogFile("");
        g_fileLogLevel.store(-1);
        setMaxLogFileSize(1000000);
    }

    void useFile(const std::string& path, int maxSize = 1000000) {
        setMaxLogFileSize(maxSize);
        setLogFile(path.c_str());
        setFileLogLevel(8);
    }

    std::string read(const std::string& path) {
        closeLogFile();
        std::string text;
        testutil::readFile(path, text);
        return text;
    }

    testutil::TempDir dir_;
};

}  // namespace

TEST_F(LoggerFileTest, LineHasTheFixedPrefixAndEndsInCrLf) {
    const std::string path = dir_.file("a.log");
    useFile(path);
    TWLOG(LOG_INFO, "hello " << 42);
    const std::string text = read(path);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    const auto lines = splitCrLfLines(text);
    ASSERT_EQ(lines.size(), 1u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, kLinePattern)) << lines[0];
    EXPECT_EQ(match[2].str(), "Info  ");
    EXPECT_EQ(match[3].str(), "hello 42");
}

TEST_F(LoggerFileTest, EveryLevelPrintsItsPaddedName) {
    const std::string path = dir_.file("levels.log");
    useFile(path);
    for (int level = -1; level <= 9; ++level) TWLOG(level, "level " << level);
    const auto lines = splitCrLfLines(read(path));
    const std::map<int, std::string> expected = {
        {-1, "UNK   "}, {0, "Emerg "}, {1, "Alert "}, {2, "Crit  "},    {3, "Error "}, {4, "Warn  "},
        {5, "Notice"},  {6, "Info  "}, {7, "Debug "}, {8, "DblDebug"}};
    // Level 9 is above the file level and is not written.
    ASSERT_EQ(lines.size(), expected.size());
    size_t index = 0;
    for (const auto& [level, name] : expected) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[index], match, kLinePattern)) << lines[index];
        EXPECT_EQ(match[2].str(), name) << "level " << level;
        EXPECT_EQ(match[3].str(), "level " + std::to_string(level));
        ++index;
    }
}

TEST_F(LoggerFileTest, NegativeLevelIsAdmittedAndNamedUnknown) {
    const std::string path = dir_.file("unk.log");
    useFile(path);
    std::ostringstream text;
    text << "odd";
    // A Windows-style source path: the base name follows the last backslash.
    logMessage(-7, "c:\\src\\twlogger_test.cpp", 12, text);
    const auto lines = splitCrLfLines(read(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("< UNK    > twlogger_test.cpp:12  odd"), std::string::npos) << lines[0];

    // A sink that is off admits no level, however low.
    g_fileLogLevel.store(-1);
    EXPECT_FALSE(logEnabled(-7));
    setPostLogLevel(LOG_ERROR);
    logMessage(-7, "c:\\src\\twlogger_test.cpp", 13, text);
    setPostLogLevel(9);
    EXPECT_EQ(splitCrLfLines(read(path)).size(), 1u);
}

TEST_F(LoggerFileTest, NothingIsWrittenWhenEverySinkIsOff) {
    const std::string path = dir_.file("off.log");
    setLogFile(path.c_str());
    g_fileLogLevel.store(-1);
    TWLOG(LOG_EMERG, "nobody hears this");
    EXPECT_FALSE(testutil::fileExists(path));
}

TEST_F(LoggerFileTest, RotatesOnlyOnceTheFileIsPastTheLimit) {
    const std::string path = dir_.file("rot.log");
    ASSERT_TRUE(testutil::writeFile(path, std::string(10000, 'x')));
    ASSERT_TRUE(testutil::writeFile(path + ".1", "older generation"));
    useFile(path, 10000);

    TWLOG(LOG_INFO, "first");  // exactly at the limit: appended, no rotation
    closeLogFile();
    std::string current;
    testutil::readFile(path, current);
    EXPECT_EQ(current.substr(0, 10000), std::string(10000, 'x'));
    EXPECT_NE(current.find("first\r\n"), std::string::npos);

    TWLOG(LOG_INFO, "second");  // past the limit: moved to .1, new file
    const std::string fresh = read(path);
    std::string previous;
    testutil::readFile(path + ".1", previous);
    EXPECT_EQ(previous, current) << "the old .1 is replaced by the full file";
    ASSERT_EQ(splitCrLfLines(fresh).size(), 1u);
    EXPECT_NE(fresh.find("second\r\n"), std::string::npos);
}

TEST_F(LoggerFileTest, FailedRotationKeepsTheOlderGenerationAndLosesNoLine) {
    const std::string path = dir_.file("stuck.log");
    ASSERT_TRUE(testutil::writeFile(path, std::string(10001, 'x')));
    // A folder in the way of ".1" makes the move fail.
    ASSERT_TRUE(CreateDirectoryA((path + ".1").c_str(), nullptr));
    ASSERT_TRUE(testutil::writeFile(path + ".1\\keep.txt", "keep"));
    useFile(path, 10000);

    for (int i = 0; i < 5; ++i) TWLOG(LOG_INFO, "line " << i);
    const std::string text = read(path);
    for (int i = 0; i < 5; ++i) EXPECT_NE(text.find("line " + std::to_string(i) + "\r\n"), std::string::npos);
    EXPECT_TRUE(testutil::fileExists(path + ".1\\keep.txt"));
}

// A full disk or a folder that is gone: the lines are dropped and counted.
TEST_F(LoggerFileTest, LinesThatCannotBeWrittenAreCounted) {
    useFile(dir_.file("later\\palvane.log"));
    for (int i = 0; i < 3; ++i) TWLOG(LOG_INFO, "lost " << i);
    ASSERT_TRUE(CreateDirectoryA(dir_.file("later").c_str(), nullptr));
    TWLOG(LOG_INFO, "kept");
    EXPECT_NE(read(dir_.file("later\\palvane.log")).find("3 log lines could not be written\r\n"), std::string::npos);
}

TEST_F(LoggerFileTest, ConcurrentWritersThroughARotationLoseAndTearNothing) {
    const std::string path = dir_.file("threads.log");
    constexpr int kThreads = 8;
    constexpr int kLinesPerThread = 250;
    // About 170 KB in all: exactly one rotation, so both generations hold every line.
    useFile(path, 100000);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLinesPerThread; ++i) TWLOG(LOG_INFO, "writer " << t << " line " << i << " end");
        });
    }
    for (auto& thread : threads) thread.join();
    std::string previous;
    ASSERT_TRUE(testutil::readFile(path + ".1", previous)) << "one rotation expected";
    const std::string all = previous + read(path);

    std::set<std::string> seen;
    for (const auto& line : splitCrLfLines(all)) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, kLinePattern)) << "torn line: " << line;
        EXPECT_TRUE(seen.insert(match[3].str()).second) << "duplicate: " << line;
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLinesPerThread));
}

TEST_F(LoggerFileTest, NewPathTakesEffectOnceTheOpenFileIsClosed) {
    const std::string first = dir_.file("first.log");
    const std::string second = dir_.file("second.log");
    useFile(first);
    TWLOG(LOG_INFO, "one");
    setLogFile(second.c_str());
    setFileLogLevel(8);
    TWLOG(LOG_INFO, "two");
    closeLogFile();
    TWLOG(LOG_INFO, "three");
    const std::string firstText = read(first);
    const std::string secondText = read(second);
    EXPECT_NE(firstText.find("two"), std::string::npos);
    EXPECT_EQ(secondText.find("two"), std::string::npos);
    EXPECT_NE(secondText.find("three"), std::string::npos);
}

TEST(LoggerSetters, KeepTheirBounds) {
    g_fileLogLevel.store(-1);
    EXPECT_EQ(setFileLogLevel(static_cast<unsigned>(-1)), -1) << "-1 cannot switch the sink off or on";
    EXPECT_EQ(setFileLogLevel(6), 6);
    EXPECT_EQ(setFileLogLevel(9), 6);
    EXPECT_EQ(setFileLogLevel(0), 0);
    g_fileLogLevel.store(-1);

    setPostLogLevel(3);
    EXPECT_EQ(g_postLogLevel.load(), 3);
    setPostLogLevel(9);
    EXPECT_EQ(g_postLogLevel.load(), -1);

    setMaxLogFileSize(1000000);
    setMaxLogFileSize(9999);
    EXPECT_EQ(getMaxLogFileSize(), 1000000);
    setMaxLogFileSize(1000000001);
    EXPECT_EQ(getMaxLogFileSize(), 1000000);
    setMaxLogFileSize(10000);
    EXPECT_EQ(getMaxLogFileSize(), 10000);
    setMaxLogFileSize(1000000000);
    EXPECT_EQ(getMaxLogFileSize(), 1000000000);
    setMaxLogFileSize(1000000);

    setLogFile("x.log");
    EXPECT_EQ(getFileLogLevel(), 3) << "a log file switches the sink on at level 3";
    setLogFile("");
    g_fileLogLevel.store(-1);

    setLogPostUrl("http://127.0.0.1:1/log");
    EXPECT_EQ(getLogPostUrl(), "http://127.0.0.1:1/log");
    setLogPostUrl(nullptr);
    EXPECT_EQ(getLogPostUrl(), "");
}

TEST(LogRecord, HasEveryMemberInNameOrderOnOneLine) {
    setLogRecordIds("cust-1", "guid-2");
    const std::string record = buildLogRecord(3, "query.cpp", 77, "it \"failed\"", 1700000000, 250000);
    setLogRecordIds("", "");
    ASSERT_FALSE(record.empty());
    EXPECT_EQ(record.back(), '\n');
    EXPECT_EQ(record.find('\n'), record.size() - 1);

    Json::Value value;
    ASSERT_TRUE(Json::Reader().parse(record, value));
    EXPECT_EQ(value["version"].asString(), "2.4.0.0");
    EXPECT_EQ(value["host"].asString(), "quillmarkagent");
    EXPECT_EQ(value["short_message"].asString(), "it \"failed\"");
    EXPECT_DOUBLE_EQ(value["timestamp"].asDouble(), 1700000000.25);
    EXPECT_EQ(value["level"].asInt(), 3);
    EXPECT_EQ(value["_file"].asString(), "query.cpp");
    EXPECT_EQ(value["_line"].asInt(), 77);
    EXPECT_EQ(value["_custid"].asString(), "cust-1");
    EXPECT_EQ(value["_machineguid"].asString(), "guid-2");

    const char* order[] = {"\"_custid\"", "\"_file\"", "\"_line\"",          "\"_machineguid\"", "\"host\"",
                           "\"level\"",   "\"short_message\"", "\"timestamp\"", "\"version\""};
    size_t last = 0;
    for (const char* name : order) {
        const size_t at = record.find(name);
        ASSERT_NE(at, std::string::npos) << name;
        EXPECT_GT(at, last) << name;
        last = at;
    }
}

namespace {

class UdpReceiver {
public:
    UdpReceiver() {
        socket_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        int length = sizeof(address);
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        DWORD timeout = 1500;
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    }
    ~UdpReceiver() { closesocket(socket_); }

    uint16_t port() const { return port_; }

    // The next datagram, inflated; empty when none came in time.
    std::string receiveRecord() {
        std::vector<char> datagram(65536);
        const int received = recv(socket_, datagram.data(), static_cast<int>(datagram.size()), 0);
        if (received <= 0) return std::string();
        std::vector<Bytef> inflated(1 << 20);
        uLongf length = static_cast<uLongf>(inflated.size());
        if (uncompress(inflated.data(), &length, reinterpret_cast<const Bytef*>(datagram.data()),
                       static_cast<uLong>(received)) != Z_OK) {
            return "<not zlib>";
        }
        return std::string(reinterpret_cast<char*>(inflated.data()), length);
    }

private:
    SOCKET socket_;
    uint16_t port_ = 0;
};

}  // namespace

TEST(NetworkSink, SendsOneCompressedRecordPerMessage) {
    UdpReceiver receiver;
    setNetLogHost("127.0.0.1", receiver.port());
    setNetLogLevel(6);
    TWLOG(LOG_WARN, "over the wire");
    TWLOG(LOG_DEBUG, "not admitted");
    const std::string record = receiver.receiveRecord();
    const std::string nothing = receiver.receiveRecord();
    setNetLogLevel(-1);

    Json::Value value;
    ASSERT_TRUE(Json::Reader().parse(record, value)) << record;
    EXPECT_EQ(value["short_message"].asString(), "over the wire");
    EXPECT_EQ(value["level"].asInt(), 4);
    EXPECT_EQ(value["_file"].asString(), "twlogger_test.cpp");
    EXPECT_TRUE(nothing.empty());
}

TEST(NetworkSink, ARecordTooLargeToCompressIsNotSentButReachesTheFile) {
    testutil::LogCapture capture(6);
    UdpReceiver receiver;
    setNetLogHost("127.0.0.1", receiver.port());
    setNetLogLevel(6);
    std::mt19937 random(7);
    std::string noise;
    for (int i = 0; i < 20000; ++i) noise += static_cast<char>('!' + random() % 90);
    TWLOG(LOG_INFO, noise);
    const std::string record = receiver.receiveRecord();
    setNetLogLevel(-1);
    EXPECT_TRUE(record.empty());
    closeLogFile();
    EXPECT_TRUE(capture.contains(noise));
}

TEST(NetworkSink, LevelSetterKeepsItsBoundsAndMinusOneCloses) {
    setNetLogLevel(5);
    EXPECT_EQ(g_netLogLevel.load(), 5);
    setNetLogLevel(9);
    EXPECT_EQ(g_netLogLevel.load(), 5);
    setNetLogLevel(-1);
    EXPECT_EQ(g_netLogLevel.load(), -1);
}
