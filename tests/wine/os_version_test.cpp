// os_version_test.cpp: the operating-system description of the population under each Windows
// version the system can pretend to be. Wine picks the version per executable name
// (HKCU\Software\Wine\AppDefaults\<name>\Version), so each row runs a copy of this driver under
// a name of its own as a child product and reads back what it saw.
#include <string>

#include "harness.h"

namespace kx::wine {
namespace {

struct VersionRow {
    const char* version;  // Wine's name of the Windows version
    const char* platform;
    const char* major;
    const char* minor;
    const char* os;  // szOS: the description cut to the field's 31 characters
};

void PrintTo(const VersionRow& row, std::ostream* out) {
    *out << row.version;
}

class OsVersionTest : public WineTest, public testing::WithParamInterface<VersionRow> {
  protected:
    ~OsVersionTest() override {
        ::RegDeleteTreeA(HKEY_CURRENT_USER, ("Software\\Wine\\AppDefaults\\" + ExeName()).c_str());
    }
    static std::string ExeName() { return std::string("kxwine_") + GetParam().version + ".exe"; }
};

TEST_P(OsVersionTest, TheDescriptionFollowsTheVersionTheSystemReports) {
    const VersionRow& row = GetParam();
    const std::string exe = Scratch() / ExeName();
    CopyFileTo(ExecutablePath(), exe);
    RegFile reg = BaseRegistry();
    reg.UserKey("Software\\Wine\\AppDefaults\\" + ExeName()).String("Version", row.version);
    Import(reg);

    const std::string output = Scratch() / "child.txt";
    const ProcessResult child = RunProcess("\"" + exe + "\" --kxwine-child populate \"" +
                                           InstallDir() + "\" \"" + output + "\"");
    ASSERT_TRUE(child.Succeeded()) << child.Describe();
    auto seen = ReadKeyValues(output);
    // What the system itself reported to the child, so that a wrong row shows whose it is.
    EXPECT_EQ(seen["platform"], row.platform);
    EXPECT_EQ(seen["major"], row.major);
    EXPECT_EQ(seen["minor"], row.minor);
    ASSERT_EQ(seen["loaded"], "1") << "load error " << seen["load_error"];
    EXPECT_EQ(seen["result"], "0");
    EXPECT_EQ(seen["os"], row.os) << "service pack text: '" << seen["csd"] << "'";
    // The account look-up that the NT rows make cannot fit a user's SID into 12 bytes.
    EXPECT_EQ(seen["domain"], "");
    EXPECT_NE(seen["user"], "");
}

INSTANTIATE_TEST_SUITE_P(
    WineVersions, OsVersionTest,
    testing::Values(VersionRow{"win31", "0", "3", "10", "Win 3.1 with Win32s V3 10"},
                    VersionRow{"win95", "1", "4", "0", "Windows 95 V4 0"},
                    VersionRow{"win98", "1", "4", "10", "Windows 98 V4 10"},
                    VersionRow{"winme", "1", "4", "90", "Windows 98 V4 90"},
                    VersionRow{"nt40", "2", "4", "0", "Windows NT V4 0 (Service Pack 6"},
                    VersionRow{"win2k", "2", "5", "0", "Windows 2000 V5 0 (Service Pack"},
                    VersionRow{"winxp", "2", "5", "1", "Windows 2000 V5 1 (Service Pack"},
                    VersionRow{"vista", "2", "6", "0", "Windows 2000 V6 0 (Service Pack"},
                    VersionRow{"win10", "2", "6", "2", "Windows 2000 V6 2 ()"}),
    [](const testing::TestParamInfo<VersionRow>& info) { return std::string(info.param.version); });

}  // namespace
}  // namespace kx::wine
