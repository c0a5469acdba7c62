// Who may change what a service or an elevated run takes: security descriptors as Windows' own
// functions make them from their text, judged as the tool judges a file on disk. Wine shows every
// file as owned by its one user, so owners are proven here.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/access_windows.h"
#include "platform/win32.h"

namespace {

using wdt::system::Held;

constexpr const char* kInstaller = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// The verdict on a descriptor, and the reason when it is refused.
struct Verdict {
    bool trusted;
    std::string why;
};

Verdict judge(const std::string& sddl, Held held = Held::file) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        ADD_FAILURE() << "not a descriptor: " << sddl;
        return {false, ""};
    }
    char why[600] = "";
    const bool trusted = wdt::system::only_administrators_may_change(descriptor, held, "X", why, sizeof why);
    LocalFree(descriptor);
    return {trusted, why};
}

std::string own_account() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
    CloseHandle(token);
    char* text = nullptr;
    ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
    const std::string sid = text;
    LocalFree(text);
    return sid;
}

TEST(Access, OnlyTheSystemTheAdministratorsAndTrustedInstallerMayOwnOrChangeIt) {
    const std::string readers = "(A;;0x1200a9;;;BU)";
    for (const std::string owner : {"SY", "BA", kInstaller}) {
        EXPECT_TRUE(judge("O:" + owner + "D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + kInstaller + ")" + readers).trusted) << owner;
    }
    const struct {
        std::string sddl;
        std::string why;
    } refused[] = {
        {"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)(A;;FA;;;BA)" + readers, "X is owned by S-1-5-21-1-2-3-1001, who may change it"},
        {"O:BAD:(A;;FA;;;SY)(A;;0x1301bf;;;BU)", "X lets S-1-5-32-545 write it"},  // users may modify
        {"O:BAD:(A;;FA;;;BA)(A;;0x2;;;WD)", "X lets S-1-1-0 write it"},             // everyone may write its data
        {"O:BAD:(A;;FA;;;BA)(A;;0x10000;;;S-1-5-21-1-2-3-1001)", "X lets S-1-5-21-1-2-3-1001 write it"},  // delete
        {"O:BAD:(A;;FA;;;BA)(A;;WD;;;AU)", "X lets S-1-5-11 write it"},             // change the list
    };
    for (const auto& c : refused) {
        const Verdict verdict = judge(c.sddl);
        EXPECT_FALSE(verdict.trusted) << c.sddl;
        EXPECT_EQ(verdict.why, c.why) << c.sddl;
    }
}

TEST(Access, NoAccessListLetsAnyoneChangeIt) {
    SECURITY_DESCRIPTOR descriptor;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
                SetSecurityDescriptorOwner(&descriptor, administrators, FALSE) &&
                SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
    char why[300] = "";
    EXPECT_FALSE(wdt::system::only_administrators_may_change(&descriptor, Held::file, "X", why, sizeof why));
    EXPECT_STREQ(why, "X has no access list: anyone may write it");
}

TEST(Access, EntriesThatGrantNothingHereAreNotCounted) {
    // Inherited by what is made inside only; the creator's, which grant nothing themselves; a denial.
    EXPECT_TRUE(judge("O:BAD:(A;OICIIO;FA;;;BU)(A;;FA;;;BA)", Held::folder).trusted);
    EXPECT_TRUE(judge("O:BAD:(A;;FA;;;CO)(A;;FA;;;CG)(A;;FA;;;BA)").trusted);
    EXPECT_TRUE(judge("O:BAD:(D;;FA;;;BU)(A;;FA;;;BA)").trusted);
}

TEST(Access, AFolderAboveMayLetUsersAddButNotTakeAwayOrRename) {
    // A drive's root lets authenticated users make folders in it.
    const std::string root = "O:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x100004;;;AU)(A;;0x1200a9;;;BU)";
    EXPECT_TRUE(judge(root, Held::above).trusted);
    EXPECT_EQ(judge(root, Held::folder).why, "X lets S-1-5-11 write it");
    for (const char* right : {"0x40", "0x10000", "0x40000", "GA"}) {  // delete a child, delete, change the list, all
        const Verdict verdict = judge(std::string("O:SYD:(A;;FA;;;SY)(A;;") + right + ";;;AU)", Held::above);
        EXPECT_EQ(verdict.why, "X lets S-1-5-11 replace what it holds") << right;
    }
    EXPECT_EQ(judge("O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)", Held::above).why,
              "X is owned by S-1-5-21-1-2-3-1001, who may change it");
}

TEST(Access, TheOwnAccountCountsForAServiceAndARunWithoutElevationOnly) {
    const std::string own = own_account();
    const std::string owned = "O:" + own + "D:(A;;FA;;;SY)(A;;FA;;;" + own + ")";
    const bool service = wdt::system::control.service;
    wdt::system::control.service = false;
    // An elevated run's own account also runs programs without elevation, which may change its files.
    const Verdict console = judge(owned);
    EXPECT_EQ(console.trusted, !wdt::system::elevated());
    if (!console.trusted) {
        EXPECT_EQ(console.why, "X is owned by " + own + ", who may change it");
    }
    wdt::system::control.service = true;
    EXPECT_TRUE(judge(owned).trusted);
    wdt::system::control.service = service;
}

TEST(Access, APathMustBeAFullOne) {
    char why[300] = "";
    EXPECT_FALSE(wdt::system::only_administrators_may_change_path(L"relative\\WDT.dll", false, why, sizeof why));
    EXPECT_STREQ(why, "relative\\WDT.dll is not a full path");
    EXPECT_FALSE(wdt::system::only_administrators_may_change_path(L"\\\\server", true, why, sizeof why));
}

}  // namespace
