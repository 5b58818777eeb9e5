#include "utils/win/adminOnlySecurity.h"

#include <aclapi.h>
#include <sddl.h>

#include "utils/twlogger.h"
#include "utils/win/stringconv.h"

namespace {

constexpr const wchar_t* kObjectOnly = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
constexpr const wchar_t* kWholeTree = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr const wchar_t* kOwnedTree = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Rights that change what a folder holds, or its security.
constexpr ACCESS_MASK kWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool isAdministrative(PSID sid) {
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

// Taking the ownership of a folder someone else made and owns needs these;
// SYSTEM holds them, not always enabled. The previous state comes back after.
class OwnershipPrivileges {
public:
    OwnershipPrivileges() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
        token_.reset(token);
        struct {
            DWORD count;
            LUID_AND_ATTRIBUTES privileges[2];
        } wanted{2, {}};
        const wchar_t* names[] = {SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME};
        for (int i = 0; i < 2; ++i) {
            LookupPrivilegeValueW(nullptr, names[i], &wanted.privileges[i].Luid);
            wanted.privileges[i].Attributes = SE_PRIVILEGE_ENABLED;
        }
        DWORD size = sizeof(previous_);
        adjusted_ = AdjustTokenPrivileges(token_.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&wanted),
                                          sizeof(previous_), reinterpret_cast<TOKEN_PRIVILEGES*>(&previous_), &size);
    }
    ~OwnershipPrivileges() {
        if (adjusted_) AdjustTokenPrivileges(token_.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&previous_), 0,
                                             nullptr, nullptr);
    }
    OwnershipPrivileges(const OwnershipPrivileges&) = delete;
    OwnershipPrivileges& operator=(const OwnershipPrivileges&) = delete;

private:
    UniqueHandle token_;
    BOOL adjusted_ = FALSE;
    struct {
        DWORD count;
        LUID_AND_ATTRIBUTES privileges[2];
    } previous_{};
};

}  // namespace

AdminOnlySecurity::AdminOnlySecurity(Scope scope)
    : AdminOnlySecurity(scope == Scope::Tree ? kWholeTree : kObjectOnly) {}

AdminOnlySecurity::AdminOnlySecurity(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        const DWORD error = GetLastError();
        TWLOG(LOG_ERROR, "Failed to build the administrators-only security descriptor, error=" << error);
        return;
    }
    descriptor_.reset(descriptor);
    attributes_ = {sizeof(attributes_), descriptor, FALSE};
}

bool AdminOnlySecurity::secureFolder(const std::wstring& path) {
    AdminOnlySecurity tree(Scope::Tree);
    if (tree.attributes() != nullptr && CreateDirectoryW(path.c_str(), tree.attributes())) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
        const DWORD error = GetLastError();
        TWLOG(LOG_ERROR, "Failed to create " << toUtf8(path) << ", error=" << error);
        return false;
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        TWLOG(LOG_ERROR, toUtf8(path) << " is no plain folder; it is not secured.");
        return false;
    }
    const AdminOnlySecurity owned(kOwnedTree);
    if (owned.descriptor() == nullptr) return false;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    GetSecurityDescriptorOwner(owned.descriptor(), &owner, &defaulted);
    GetSecurityDescriptorDacl(owned.descriptor(), &present, &dacl, &defaulted);
    OwnershipPrivileges privileges;
    const DWORD error = SetNamedSecurityInfoW(
        const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, owner, nullptr,
        dacl, nullptr);
    if (error != ERROR_SUCCESS) {
        TWLOG(LOG_ERROR, "Failed to secure " << toUtf8(path) << ", error=" << error);
        return false;
    }
    return true;
}

bool AdminOnlySecurity::othersMayWrite(PSECURITY_DESCRIPTOR descriptor) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    if (descriptor == nullptr || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
        return true;
    }
    // An owner may always rewrite the DACL; no DACL allows everyone.
    if ((owner != nullptr && !isAdministrative(owner)) || !present || dacl == nullptr) return true;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(dacl, index, &entry)) return true;
        const auto* header = static_cast<ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        // What is inherited counts too: it opens the files made inside. The
        // creator's entry goes to whoever made them, an administrator here.
        if (IsWellKnownSid(sid, WinCreatorOwnerSid)) continue;
        if ((allowed->Mask & kWriteRights) != 0 && !isAdministrative(sid)) return true;
    }
    return false;
}

bool AdminOnlySecurity::othersMayWrite(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return true;
    }
    UniqueLocalMemory owned(descriptor);
    return othersMayWrite(descriptor);
}
