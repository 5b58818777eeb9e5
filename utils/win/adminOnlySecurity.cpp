#include "utils/win/adminOnlySecurity.h"

#include <sddl.h>

#include "utils/twlogger.h"

namespace {

constexpr const wchar_t* kObjectOnly = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
constexpr const wchar_t* kWholeTree = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

}  // namespace

AdminOnlySecurity::AdminOnlySecurity(Scope scope) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(scope == Scope::Tree ? kWholeTree : kObjectOnly,
                                                              SDDL_REVISION_1, &descriptor, nullptr)) {
        const DWORD error = GetLastError();
        TWLOG(LOG_ERROR, "Failed to build the administrators-only security descriptor, error=" << error);
        return;
    }
    descriptor_.reset(descriptor);
    attributes_ = {sizeof(attributes_), descriptor, FALSE};
}
