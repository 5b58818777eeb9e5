// The deliverable palvane.dll as the service host uses it: loaded by file name
// from a library folder made the current directory, the two exports found by
// name (and ordinal), the object driven in the host's order, and the log
// closed by Destructor.
#include <gtest/gtest.h>

#include <windows.h>

#include <future>

#include "palvane/shared/Ipalvane.h"
#include "support/testUtil.h"
#include "support/webView2Present.h"
#include "utils/configKeys.h"
#include "utils/win/FileVersion.h"
#include "utils/win/localconfig.h"
#include "utils/win/userInfo.h"

using PALVANE_SERVICE::ConstructorFn;
using PALVANE_SERVICE::DestructorFn;
using PALVANE_SERVICE::Ipalvane;

namespace {

class PalvaneLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        settings_.set(configKeys::PATH, install_.path());
        CreateDirectoryA(library_.file("logs").c_str(), nullptr);
    }

    std::string libraryPath() const { return testutil::exeDirectoryA() + "palvane.dll"; }

    testutil::MachineSettingsSandbox settings_;
    testutil::TempDir install_;
    testutil::TempDir library_;
    testutil::WebView2Present webView2_;
};

TEST_F(PalvaneLibrary, CarriesItsVersionAndExportsBothFunctionsByNameAndOrdinal) {
    FileVersion version(testutil::exeDirectory() + L"palvane.dll");
    ASSERT_TRUE(version.read());
    EXPECT_EQ(version.major(), 1u);
    EXPECT_EQ(version.minor(), 0u);
    EXPECT_EQ(version.build(), 0u);
    EXPECT_EQ(version.revision(), 0u);

    testutil::CurrentDirectory inLibraryFolder(library_.path());
    HMODULE module = LoadLibraryA(libraryPath().c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_NE(GetProcAddress(module, "Constructor"), nullptr);
    EXPECT_NE(GetProcAddress(module, "Destructor"), nullptr);
    EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(1)), GetProcAddress(module, "Constructor"));
    EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(2)), GetProcAddress(module, "Destructor"));
    auto destroy = reinterpret_cast<DestructorFn>(GetProcAddress(module, "Destructor"));
    destroy(nullptr);  // only the log line and the closing of the log
    EXPECT_TRUE(FreeLibrary(module));
}

// The host's order: Constructor, StartMonitoring, StopMonitoring, Destructor,
// FreeLibrary. An upgrade waits for its reboot, so the start waits for a
// logged-on user (Wine reports none) until the host cuts the wait short.
TEST_F(PalvaneLibrary, RunsAndStopsInTheHostsOrder) {
    settings_.set(configKeys::INSTALL_PENDING, "true");
    settings_.set(configKeys::INSTALL_CABFILE, install_.file("agent.cab"));
    testutil::CurrentDirectory inLibraryFolder(library_.path());
    HMODULE module = LoadLibraryA(libraryPath().c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    auto create = reinterpret_cast<ConstructorFn>(GetProcAddress(module, "Constructor"));
    auto destroy = reinterpret_cast<DestructorFn>(GetProcAddress(module, "Destructor"));
    ASSERT_TRUE(create && destroy);

    Ipalvane* object = create();
    ASSERT_NE(object, nullptr);
    auto started = std::async(std::launch::async, [object] { object->StartMonitoring([] {}); });
    EXPECT_EQ(started.wait_for(std::chrono::seconds(1)), std::future_status::timeout) << "the start waits for a user";
    cancelUserWaits();
    EXPECT_EQ(started.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "the cancel reached the library";
    started.wait();
    resumeUserWaits();
    std::string published;
    EXPECT_TRUE(localConfig(true).getString(configKeys::IPC_PALVANE_PORT, published)) << "the IPC server publishes its port";

    object->StopMonitoring();
    destroy(object);
    std::string port;
    EXPECT_FALSE(localConfig(true).getString(configKeys::IPC_PALVANE_PORT, port)) << "the IPC server is gone";
    EXPECT_TRUE(FreeLibrary(module));

    std::string log;
    ASSERT_TRUE(testutil::readFile(library_.file("logs\\palvane.log"), log));
    EXPECT_NE(log.find("twptray.exe is not installed."), std::string::npos) << log;
    // Closed by Destructor: the file can be removed while the test runs on.
    EXPECT_TRUE(DeleteFileA(library_.file("logs\\palvane.log").c_str()));
}

}  // namespace
