// value_rules_test.cpp: values the readers of the registry would refuse are refused by the
// command before they are written, naming what would have been accepted.
#include "tools/admin/value_rules.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "child_process.h"
#include "common/syslog_names.h"
#include "platform/platform.h"
#include "support.h"
#include "tools/admin/errors.h"

namespace kx::tool {
namespace {

reg::Value Text(const std::string& name, const std::string& text) {
    reg::Value value{name, plat::kRegSz, {text.begin(), text.end()}};
    value.data.push_back(0);
    return value;
}

reg::Value Dword(const std::string& name, std::uint32_t number) {
    return {name,
            plat::kRegDword,
            {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
             static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)}};
}

std::string Refusal(std::string_view key, const reg::Value& value) {
    try {
        CheckValueRule(key, value);
    } catch (const UsageError& error) {
        return error.what();
    }
    return "";
}

TEST(ValueRules, UnknownTransportIsRefusedWithTheValidOnes) {
    EXPECT_EQ(Refusal(kSyslogSettingsKey, Text("Transport", "pigeon")),
              "Transport must be one of local, udp, tcp, not 'pigeon'");
}

TEST(ValueRules, UnknownFacilityIsRefusedWithTheValidOnes) {
    const std::string refusal = Refusal(kSyslogSettingsKey, Text("Facility", "local8"));
    EXPECT_EQ(refusal.rfind("Facility must be text, one of kern, user, mail, ", 0), 0u) << refusal;
    EXPECT_TRUE(refusal.ends_with("local7 or a number from 0 to 23, not 'local8'")) << refusal;
    EXPECT_NE(Refusal(kSyslogSettingsKey, Dword("Facility", 16)), "");
    EXPECT_NE(Refusal(kSyslogSettingsKey, Text("Facility", "24")), "");
}

TEST(ValueRules, NumbersOutOfRangeAreRefused) {
    EXPECT_EQ(Refusal(kSyslogSettingsKey, Dword("Port", 70000)),
              "Port must be a number from 1 to 65535, not 70000");
    EXPECT_NE(Refusal(kSyslogSettingsKey, Text("Port", "http")), "");
    EXPECT_NE(Refusal(kSyslogSettingsKey, Dword("EnterpriseNumber", 0)), "");
    EXPECT_NE(Refusal(kSyslogSettingsKey, Text("EnterpriseNumber", "1.3.6.1")), "");
}

TEST(ValueRules, AcceptedValuesPassInAnyCaseOfKeyAndName) {
    std::string key = kSyslogSettingsKey;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(Refusal(key, Text("transport", "TCP")), "");
    EXPECT_EQ(Refusal(kSyslogSettingsKey, Text("Facility", "Local4")), "");
    EXPECT_EQ(Refusal(kSyslogSettingsKey, Text("Facility", "23")), "");
    EXPECT_EQ(Refusal(kSyslogSettingsKey, Text("Port", "6514")), "");
    EXPECT_EQ(Refusal(kSyslogSettingsKey, Dword("EnterpriseNumber", 4711)), "");
}

TEST(ValueRules, ValuesWithoutARuleAndOtherKeysPass) {
    EXPECT_EQ(Refusal(kSyslogSettingsKey, Text("Host", "pigeon")), "");
    EXPECT_EQ(Refusal("Software\\Other", Text("Transport", "pigeon")), "");
}

TEST(ValueRules, RegSetRefusesAndLeavesTheFileAlone) {
    const test::TempDir dir;
    const auto registry = dir / "hklm.reg";
    test::RegFile reg;
    reg.Key(kSyslogSettingsKey).String("Transport", "udp");
    reg.WriteTo(registry);
    const std::string before = test::ReadFile(registry);
    const test::ProcessResult result =
        test::RunProcess(std::string(KX_TEST_BINARY_DIR) + "/bin/kxevent",
                         {"reg", "set", kSyslogSettingsKey, "Transport", "pigeon"},
                         {{"VEL_REGISTRY", registry.string()}, {"HOME", dir.str()}});
    EXPECT_EQ(result.exitCode, kExitUsage);
    EXPECT_NE(result.err.find("Transport must be one of local, udp, tcp, not 'pigeon'"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(test::ReadFile(registry), before);
}

}  // namespace
}  // namespace kx::tool
