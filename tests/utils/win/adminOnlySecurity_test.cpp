// A folder others can write is told apart; one that is missing is made secured.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include "support/fileTreeUtil.h"
#include "support/testUtil.h"
#include "utils/win/adminOnlySecurity.h"
#include "utils/win/stringconv.h"

// Wine applies no DACL to a folder that exists: it cannot show the repair.
TEST(AdminOnlySecurity, OthersWritingIsToldApartAndAMissingFolderIsMadeSecured) {
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
        {L"O:SYD:(A;;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)", false},  // users read, creators' own
        {L"O:BUD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},                       // a user owns it
        {L"O:BAD:(A;;FA;;;SY)(A;;0x100116;;;AU)", true},                          // adds files and folders
        {L"O:BAD:(A;OICIIO;GW;;;BU)", true},                                      // writes the files inside
        {L"O:BAD:(A;;WD;;;WD)", true},                                            // changes the security
        {L"O:BA", true},                                                          // no DACL at all
    };
    for (const auto& [sddl, othersMayWrite] : cases) {
        PSECURITY_DESCRIPTOR built = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &built, nullptr));
        UniqueLocalMemory descriptor(built);
        EXPECT_EQ(AdminOnlySecurity::othersMayWrite(built), othersMayWrite) << toUtf8(sddl);
    }
    testutil::TempDir base;
    EXPECT_TRUE(AdminOnlySecurity::secureFolder(toWide(base.file("made"))));
    EXPECT_TRUE(testutil::closedToUsers(base.file("made")));
}
