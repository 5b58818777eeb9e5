// Folders under the install path are secured for SYSTEM and Administrators
// whoever made them, and a folder others can write is told apart.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include "support/fileTreeUtil.h"
#include "support/testUtil.h"
#include "utils/win/adminOnlySecurity.h"
#include "utils/win/scopedHandle.h"
#include "utils/win/stringconv.h"

namespace {

TEST(AdminOnlySecurity, OthersMayWriteWhenOwnerOrAnEntryLetsThem) {
    struct Case {
        const wchar_t* sddl;
        bool othersMayWrite;
    } cases[] = {
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
        {L"O:SYD:(A;;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)", false},  // users read, creators' own
        {L"O:BUD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},                       // a user owns it
        {L"O:BAD:(A;;FA;;;SY)(A;;0x100116;;;AU)", true},                          // add files and folders
        {L"O:BAD:(A;OICIIO;GW;;;BU)", true},                                      // writes the files inside
        {L"O:BAD:(A;;WD;;;WD)", true},                                            // changes the security
        {L"O:BA", true},                                                          // no DACL at all
    };
    for (const Case& c : cases) {
        PSECURITY_DESCRIPTOR built = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &built, nullptr));
        UniqueLocalMemory descriptor(built);
        EXPECT_EQ(AdminOnlySecurity::othersMayWrite(built), c.othersMayWrite) << toUtf8(c.sddl);
    }
}

// Wine applies no DACL to a folder that exists (it keeps its mode bits), so
// only the call's success shows here for a folder someone else made.
TEST(AdminOnlySecurity, AFolderIsSecuredWhoeverMadeIt) {
    testutil::TempDir base;
    PSECURITY_DESCRIPTOR open = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &open,
                                                                     nullptr));
    UniqueLocalMemory owner(open);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), open, FALSE};
    ASSERT_TRUE(CreateDirectoryA(base.file("open").c_str(), &attributes));
    EXPECT_TRUE(AdminOnlySecurity::secureFolder(toWide(base.file("open"))));
    EXPECT_TRUE(AdminOnlySecurity::secureFolder(toWide(base.file("made"))));
    EXPECT_TRUE(testutil::closedToUsers(base.file("made")));
    EXPECT_FALSE(AdminOnlySecurity::secureFolder(toWide(base.file("missing\\below"))));
}

}  // namespace
