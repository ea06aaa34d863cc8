// Sends through the real stages: a catalogue in a registry file, the population on this
// machine's platform layer, the expansion and a central alert file in a scratch directory.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "common/registry.h"
#include "event/pipeline.h"
#include "event/snapshot.h"
#include "kxevent/kxevent.h"
#include "platform/platform.h"
#include "runtime/siblings.h"
#include "runtime/state.h"
#include "sibling_doubles.h"
#include "support.h"

namespace kx::test {
namespace {

constexpr std::int32_t kEvent = 1000;

class RealSend : public ::testing::Test {
  protected:
    void SetUp() override {
        std::strcpy(LanguageCode, "0901");
        WriteCatalogue(false);
        std::memset(&LastEventSnapshot, 0, sizeof(LastEventSnapshot));
        InstallFileDoubles();
    }
    void TearDown() override { Siblings() = SiblingEntries{}; }

    void WriteCatalogue(bool alerting) { WriteCatalogue(alerting, alerts_.str()); }
    void WriteCatalogue(bool alerting, const std::string& alertingPath) {
        RegFile reg;
        reg.Key(std::string(kEventsKey) + "\\0901\\" + std::to_string(kEvent))
            .String("ID", "Virus Found")
            .String("LONGDESCRIPT", "Found %VIRUSNAME% on %COMPUTERNAME%.");
        reg.Key(kAlertingKey)
            .Dword("bEnableCAlert", alerting ? 1 : 0)
            .String("Centralized Alerting Path", alertingPath)
            .Dword("NoIP", 1);
        reg.WriteTo(dir_ / "registry.reg");
    }

    int AlertFiles() const { return AlertFilesIn(alerts_.path()); }
    static int AlertFilesIn(const std::filesystem::path& directory) {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(directory)) {
            const std::string name = entry.path().filename().string();
            count += name.size() >= 3 && name.substr(name.size() - 3) == "ALR";
        }
        return count;
    }

    TempDir dir_;
    TempDir alerts_;
    ScopedEnv registry_{"VEL_REGISTRY", (dir_ / "registry.reg").string()};
    ScopedEnv computer_{"VEL_COMPUTERNAME", "TESTBOX"};
    MessageRecord message{};
    DetailRecord detail{};
    ContextRecord context{};
};

TEST_F(RealSend, ExpandsTheLongDescriptionFromThePopulatedRecords) {
    std::strcpy(detail.szVirusName, "EICAR");
    ASSERT_EQ(EVENT_SendVELMessage(1, kEvent, &message, &detail, &context), EVENT_OK);
    EXPECT_EQ(std::string(message.szLongDescript).rfind("Found EICAR on TESTBOX.", 0), 0u)
        << message.szLongDescript;
    EXPECT_STREQ(message.szComputerName, "TESTBOX");
    EXPECT_STREQ(message.szSourceIP, "0.0.0.0");
    EXPECT_EQ(detail.uTrapID, static_cast<std::uint32_t>(kEvent));
    // The snapshot holds the records as the population left them: unexpanded.
    EXPECT_EQ(std::string(LastEventSnapshot.message.szLongDescript).rfind("Found %VIRUSNAME%", 0),
              0u);
}

TEST_F(RealSend, UnknownEventReturns9) {
    EXPECT_EQ(EVENT_SendVELMessage(1, kEvent + 1, &message, &detail, &context),
              EVENT_ERR_NO_DEFINITION);
    EXPECT_STREQ(message.szComputerName, "");
}

TEST_F(RealSend, QueryGivesTheUnexpandedText) {
    char text[64] = {};
    ASSERT_EQ(EVENT_QueryMessageText(1, kEvent, &message, &detail, &context, text, sizeof(text)),
              EVENT_OK);
    EXPECT_EQ(std::string(text).rfind("Found %VIRUSNAME% on %COMPUTERNAME%.", 0), 0u) << text;
}

TEST_F(RealSend, ReSendUsesTheLastPopulatedEvent) {
    std::strcpy(detail.szVirusName, "EICAR");
    ASSERT_EQ(EVENT_PopulateEventStructures(1, "first", &message, &detail, &context), EVENT_OK);
    ASSERT_EQ(EVENT_SendVELEvent(1, kEvent, "again"), EVENT_OK);
    EXPECT_STREQ(LastEventSnapshot.detail.szTaskName, "again");
    EXPECT_EQ(
        std::string(LastEventSnapshot.message.szLongDescript).rfind("Found EICAR on TESTBOX.", 0),
        0u);
}

TEST_F(RealSend, CentralAlertingWritesOneAlertFileUnlessSuppressed) {
    WriteCatalogue(true);
    ASSERT_EQ(EVENT_SendVELMessageEx(0, 1, kEvent, &message, &detail, &context, 1, 0), EVENT_OK);
    EXPECT_EQ(AlertFiles(), 0);
    ASSERT_EQ(EVENT_SendVELMessageEx(0, 1, kEvent, &message, &detail, &context, 0, 0), EVENT_OK);
    EXPECT_EQ(AlertFiles(), 1);
}

// The registry file is replaced by another administrator's version while a send runs (here:
// between its population and its alert); the send still reads one whole version, the one it
// started with, and the next send reads the new one.
TEST_F(RealSend, ASendReadsTheRegistryVersionItStartedWith) {
    static std::filesystem::path registry, replacement;
    registry = dir_ / "registry.reg";
    replacement = dir_ / "replacement.reg";
    TempDir newAlerts;
    WriteCatalogue(true, newAlerts.str());
    std::filesystem::rename(registry, replacement);
    WriteCatalogue(true);
    const PipelineStages saved = Stages();
    Stages().PopulateEventStructures = +[](std::uint32_t product, const char* task,
                                           MessageRecord* m, DetailRecord* d, ContextRecord* c) {
        std::filesystem::rename(replacement, registry);
        return RealStages().PopulateEventStructures(product, task, m, d, c);
    };
    const int result = EVENT_SendVELMessage(1, kEvent, &message, &detail, &context);
    Stages() = saved;
    ASSERT_EQ(result, EVENT_OK);
    EXPECT_EQ(AlertFiles(), 1);
    EXPECT_EQ(AlertFilesIn(newAlerts.path()), 0);

    ASSERT_EQ(EVENT_SendVELMessage(1, kEvent, &message, &detail, &context), EVENT_OK);
    EXPECT_EQ(AlertFiles(), 1);
    EXPECT_EQ(AlertFilesIn(newAlerts.path()), 1);
}

}  // namespace
}  // namespace kx::test
