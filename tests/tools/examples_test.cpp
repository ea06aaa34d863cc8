// examples_test.cpp: the C samples built with the project: the host sends through KXEvent.DLL
// and the C forwarding module receives the completed records.
#include <gtest/gtest.h>

#include "child_process.h"
#include "support.h"

namespace kx::test {
namespace {

TEST(CSamples, HostSendsAndCForwarderReceivesTheExpandedEvent) {
    TempDir dir;
    RegFile reg;
    reg.Key("Software\\Velmora\\QRD\\Shared Components\\Brisa\\CurrentVersion")
        .String("szInstallDir", KX_TEST_INSTALL_DIR);
    reg.Key(kAlertingKey).Dword("bEnableCAlert", 0);
    reg.Key("Software\\Velmora\\QRD\\Shared Components\\Events\\0901\\700")
        .String("ID", "Sample event")
        .String("LONGDESCRIPT", "%VIRUSNAME% in %FILENAME%.")
        .Dword("SEVERITY", 2);
    reg.Key("Software\\Velmora\\QRD\\Shared Components\\Events\\Forwarding")
        .String("Sample", KX_TEST_SAMPLE_FORWARDER);
    reg.WriteTo(dir / "hklm.reg");
    const ProcessResult result = RunProcess(
        std::string(KX_TEST_BINARY_DIR) + "/bin/kxhost_c", {KX_TEST_INSTALL_DIR, "1", "700"},
        {{"VEL_REGISTRY", (dir / "hklm.reg").string()},
         {"VEL_DEBUGCORE", std::nullopt},
         {"KXEVENT_SAMPLE_FORWARD_LOG", (dir / "forward.log").string()}});
    ASSERT_EQ(result.exitCode, 0) << result.err << result.out;
    EXPECT_NE(result.out.find("description: Sample.Virus in /srv/share/invoice.pdf.exe."),
              std::string::npos)
        << result.out;
    const std::string line = ReadFile(dir / "forward.log");
    EXPECT_EQ(line.rfind("1 700 2 Sample event: Sample.Virus in /srv/share/invoice.pdf.exe.", 0),
              0u)
        << line;
}

TEST(CSamples, HostReportsTheErrorAndReasonOfAnInstallationWithoutTheLibrary) {
    TempDir dir;
    const ProcessResult result =
        RunProcess(std::string(KX_TEST_BINARY_DIR) + "/bin/kxhost_c", {dir.str()});
    EXPECT_EQ(result.exitCode, 1);
    // The platform's code and reason, through the C interface alone.
    EXPECT_NE(result.err.find("cannot load " + (dir / "KXEvent.DLL").string() +
                              " (error 126): Module " + (dir / "KXEvent.DLL").string() +
                              " was not loaded: error 126 (The specified module could not be "
                              "found.)"),
              std::string::npos)
        << result.err;
}

}  // namespace
}  // namespace kx::test
