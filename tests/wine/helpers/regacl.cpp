// Gives registry keys an access list, so Wine refuses what a machine image's [registry] rules
// refuse: regacl KEY=no_delete|read_only|no_access ... (KEY under HKEY_LOCAL_MACHINE).
// Exits with the number of keys it could not change.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

bool applyRule(const std::string& key, const std::string& rule) {
    BYTE sidBuffer[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sidBuffer;
    PSID everyone = sidBuffer;
    if (!CreateWellKnownSid(WinWorldSid, nullptr, everyone, &sidSize)) return false;

    BYTE aclBuffer[256];
    PACL acl = reinterpret_cast<PACL>(aclBuffer);
    if (!InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION)) return false;
    if (rule == "no_delete") {
        // A deny entry first: an allow entry later cannot grant what it denies.
        if (!AddAccessDeniedAce(acl, ACL_REVISION, DELETE, everyone)) return false;
        if (!AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, everyone)) return false;
    } else if (rule == "read_only") {
        if (!AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, everyone)) return false;
    } else if (rule != "no_access") {
        return false;  // an empty list grants nothing
    }

    SECURITY_DESCRIPTOR sd;
    if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION)) return false;
    if (!SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE)) return false;

    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, WRITE_DAC, &h) != ERROR_SUCCESS)
        return false;
    LONG rc = RegSetKeySecurity(h, DACL_SECURITY_INFORMATION, &sd);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        size_t eq = arg.rfind('=');
        if (eq == std::string::npos || !applyRule(arg.substr(0, eq), arg.substr(eq + 1))) {
            std::printf("regacl: cannot apply %s\n", argv[i]);
            ++failures;
        }
    }
    return failures;
}
