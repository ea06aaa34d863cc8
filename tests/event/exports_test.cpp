// The exported functions: fixed answers, the arguments the short forms pass on, and the
// reserved arguments that change nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "event/snapshot.h"
#include "kxevent/kxevent.h"
#include "stage_doubles.h"

namespace kx::test {
namespace {

constexpr std::uint32_t kArgs[] = {0u, 1u, 2u, 11u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};

TEST(FixedExports, AnswerTheirValueWhateverTheArguments) {
    for (std::uint32_t a : kArgs) {
        for (std::uint32_t b : kArgs) {
            EXPECT_EQ(EVENT_SendAlertUsingAMgr(a, b, a), 0);
            EXPECT_EQ(EVENT_GetDefaultPublishedAM(a, b, b), 11);
            EXPECT_EQ(EVENT_ConfigureEventMessagesEx(a, b, a), 1);
            EXPECT_EQ(EVENT_ConfigureEventMgrClientEx(b, a, b), 1);
            EXPECT_EQ(EVENT_SelectAlertManagerDestination(a, a, b), 1);
        }
        EXPECT_EQ(EVENT_ConfigureEventClient(a), 1);
        EXPECT_EQ(EVENT_GetEventClientConfig(a), 1);
        EXPECT_EQ(EVENT_ConfigureEventMessages(a), 1);
        EXPECT_EQ(EVENT_ConfigureEventMgrClient(a), 1);
    }
    EXPECT_EQ(EVENT_HasEventClientBeenConfigured(), 1);
    EXPECT_EQ(EVENT_IsEventClientConfigurable(), 0);
}

TEST(FixedExports, TouchNeitherTheSnapshotNorAnyStage) {
    ScopedStages stages;
    seen = {};
    std::memset(&LastEventSnapshot, 0x33, sizeof(LastEventSnapshot));
    const EventSnapshot before = LastEventSnapshot;
    EVENT_SendAlertUsingAMgr(1, 2, 3);
    EVENT_ConfigureEventClient(1);
    EVENT_GetEventClientConfig(1);
    EVENT_ConfigureEventMessages(1);
    EVENT_ConfigureEventMessagesEx(1, 2, 3);
    EVENT_ConfigureEventMgrClient(1);
    EVENT_ConfigureEventMgrClientEx(1, 2, 3);
    EVENT_GetDefaultPublishedAM(1, 2, 3);
    EVENT_HasEventClientBeenConfigured();
    EVENT_IsEventClientConfigurable();
    EVENT_SelectAlertManagerDestination(1, 2, 3);
    EXPECT_TRUE(seen.calls.empty());
    EXPECT_EQ(std::memcmp(&before, &LastEventSnapshot, sizeof(EventSnapshot)), 0);
}

class WorkingExports : public ::testing::Test {
  protected:
    void SetUp() override {
        script = {};
        seen = {};
        std::memset(&LastEventSnapshot, 0, sizeof(LastEventSnapshot));
    }
    ScopedStages stages;
    MessageRecord message{};
    DetailRecord detail{};
    ContextRecord context{};
};

TEST_F(WorkingExports, ShortSendNeverSuppressesTheAlert) {
    script.alwaysAlert = 0;
    EXPECT_EQ(EVENT_SendVELMessage(4, 12, &message, &detail, &context), EVENT_OK);
    EXPECT_EQ(seen.calls, (Calls{"switch", "definition", "populate", "build", "expand", "alert",
                                 "forward", "free"}));
    EXPECT_EQ(seen.eventId, 12);
    EXPECT_EQ(seen.productId, 4u);
    EXPECT_EQ(seen.message, &message);
}

TEST_F(WorkingExports, LongSendHonoursSuppression) {
    EXPECT_EQ(EVENT_SendVELMessageEx(0, 4, 12, &message, &detail, &context, 1, 0), EVENT_OK);
    EXPECT_EQ(std::count(seen.calls.begin(), seen.calls.end(), "alert"), 0);
}

TEST_F(WorkingExports, ReservedArgumentsChangeNothing) {
    const std::uint32_t reserved[] = {0u, 1u, 0xDEADBEEFu, 0xFFFFFFFFu};
    for (int population : {EVENT_OK, EVENT_ERR_NO_ALERTING_KEY}) {
        for (bool readable : {true, false}) {
            script.populationResult = population;
            script.alertPathReadable = readable;
            seen = {};
            const int expected =
                EVENT_SendVELMessageEx(0, 4, 12, &message, &detail, &context, 0, 0);
            const Calls expectedCalls = seen.calls;
            for (std::uint32_t r1 : reserved) {
                for (std::uint32_t r2 : reserved) {
                    seen = {};
                    EXPECT_EQ(EVENT_SendVELMessageEx(r1, 4, 12, &message, &detail, &context, 0, r2),
                              expected);
                    EXPECT_EQ(seen.calls, expectedCalls);
                    seen = {};
                    EXPECT_EQ(EVENT_SendVELEventEx(r1, 4, 12, "t", 0, r2), expected);
                    EXPECT_EQ(seen.calls, expectedCalls);
                }
            }
        }
    }
}

TEST_F(WorkingExports, EventSendWithNullTaskNameSendsAnEmptyTaskName) {
    std::strcpy(LastEventSnapshot.detail.szTaskName, "before");
    EXPECT_EQ(EVENT_SendVELEvent(4, 12, nullptr), EVENT_OK);
    EXPECT_STREQ(LastEventSnapshot.detail.szTaskName, "");
    EXPECT_NE(seen.detail, &LastEventSnapshot.detail);  // a private copy of it is sent
}

TEST_F(WorkingExports, EventSendBeforeAnyPopulationWorksOnEmptyRecords) {
    // What the definition stage sees of the snapshot before writing to it: zeros only.
    static bool allZero = false;
    Stages().LoadMessageDefinition = +[](std::int32_t, MessageRecord* m, DetailRecord* d) {
        Note("definition");
        const EventSnapshot zero{};
        allZero = std::memcmp(m, &zero.message, sizeof(MessageRecord)) == 0 &&
                  std::memcmp(d, &zero.detail, sizeof(DetailRecord)) == 0;
        return 1;
    };
    EXPECT_EQ(EVENT_SendVELEvent(4, 12, nullptr), EVENT_OK);
    EXPECT_TRUE(allZero);
}

TEST_F(WorkingExports, EventSendPassesSuppressionZero) {
    script.alwaysAlert = 0;
    EVENT_SendVELEvent(4, 12, "t");
    EXPECT_EQ(std::count(seen.calls.begin(), seen.calls.end(), "alert"), 1);
}

TEST_F(WorkingExports, NullRecordsAreRefusedWithoutCrashing) {
    EXPECT_EQ(EVENT_SendVELMessage(4, 12, nullptr, nullptr, nullptr), EVENT_ERR_NO_DEFINITION);
    EXPECT_EQ(EVENT_SendVELMessageEx(0, 4, 12, &message, nullptr, &context, 0, 0),
              EVENT_ERR_NO_DEFINITION);
    EXPECT_EQ(EVENT_QueryMessageText(4, 12, nullptr, &detail, &context, nullptr, 0),
              EVENT_ERR_NO_DEFINITION);
    EXPECT_EQ(EVENT_PopulateEventStructures(4, "t", &message, &detail, nullptr),
              EVENT_ERR_NO_DEFINITION);
    EXPECT_TRUE(seen.calls.empty());
}

TEST_F(WorkingExports, QueryExportCopiesTheText) {
    char text[32];
    EXPECT_EQ(EVENT_QueryMessageText(4, 12, &message, &detail, &context, text, sizeof(text)),
              EVENT_OK);
    EXPECT_STREQ(text, "long %VIRUSNAME%");
}

}  // namespace
}  // namespace kx::test
