// alert_settings_test.cpp: the central-alert switch and directory, read from a real registry
// file through the platform registry, as a send reads them.
#include "common/alert_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/registry.h"
#include "support.h"

namespace kx {
namespace {

class AlertSettings : public ::testing::Test {
  protected:
    // Writes the alerting key with `fill` and reads both settings as the library does.
    CentralAlertSettings Read(const std::function<void(test::RegFile&)>& fill) {
        test::RegFile file;
        file.Key(kAlertingKey);
        fill(file);
        file.WriteTo(dir_ / "hklm.reg");
        return ReadCentralAlertSettings(ReadRegistryValue);
    }
    static std::vector<std::uint8_t> Bytes(const std::string& text) {
        return {text.begin(), text.end()};
    }

    test::TempDir dir_;
    test::ScopedEnv registry_{"VEL_REGISTRY", (dir_ / "hklm.reg").string()};
};

TEST_F(AlertSettings, SwitchIsOnWhenAnyOfUpToFourBytesIsNotZero) {
    EXPECT_TRUE(Read([](auto& f) { f.Dword("bEnableCAlert", 0x01000000); }).enabled);
    EXPECT_TRUE(Read([](auto& f) { f.Hex("bEnableCAlert", {0, 0, 2}); }).enabled);
    EXPECT_FALSE(Read([](auto& f) { f.Dword("bEnableCAlert", 0); }).enabled);
    EXPECT_FALSE(Read([](auto& f) { f.Hex("bEnableCAlert", {}); }).enabled);
    // Five bytes do not fit the library's buffer: the value counts as missing.
    EXPECT_FALSE(Read([](auto& f) { f.Hex("bEnableCAlert", {1, 1, 1, 1, 1}); }).enabled);
    EXPECT_FALSE(Read([](auto&) {}).enabled);
}

TEST_F(AlertSettings, DirectoryThatFillsTheBufferLosesItsLastCharacter) {
    const std::string full = "/" + std::string(kAlertPathSize - 1, 'd');
    const CentralAlertSettings read =
        Read([&](auto& f) { f.Hex("Centralized Alerting Path", Bytes(full), 1); });
    ASSERT_TRUE(read.directory.has_value());
    EXPECT_EQ(*read.directory, full.substr(0, kAlertPathSize - 1));
}

TEST_F(AlertSettings, DirectoryLongerThanTheBufferOrEmptyIsNoDirectory) {
    const std::string tooLong = "/" + std::string(kAlertPathSize, 'd');
    EXPECT_FALSE(Read([&](auto& f) {
                     f.Hex("Centralized Alerting Path", Bytes(tooLong), 1);
                 }).directory.has_value());
    EXPECT_FALSE(
        Read([](auto& f) { f.String("Centralized Alerting Path", ""); }).directory.has_value());
    EXPECT_FALSE(Read([](auto& f) {
                     f.Hex("Centralized Alerting Path", {0, 'x'}, 1);
                 }).directory.has_value());
}

TEST_F(AlertSettings, DirectoryEndsAtItsFirstZeroByteAndKeepsBackslashes) {
    const CentralAlertSettings read = Read([](auto& f) {
        f.Hex("Centralized Alerting Path", Bytes(std::string("C:\\alerts\0rest", 14)), 1);
    });
    EXPECT_EQ(read.directory.value_or("(none)"), "C:\\alerts");
}

TEST(AlertDue, OnlyWhenAlertingIsOnAndNotSuppressedUnlessTheEventAlwaysAlerts) {
    struct Case {
        bool enabled, suppressed, alwaysAlert, due;
    };
    const Case cases[] = {
        {true, false, false, true},   {true, true, false, false}, {true, true, true, true},
        {false, false, false, false}, {false, true, true, false}, {true, false, true, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CentralAlertDue(c.enabled, c.suppressed, c.alwaysAlert), c.due)
            << c.enabled << c.suppressed << c.alwaysAlert;
    }
}

}  // namespace
}  // namespace kx
