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

// The exports that answer a fixed value and keep no state, called with arguments a careless
// implementation might act on.
struct FixedExport {
    const char* name;
    int (*call)();
    int value;
};

const FixedExport kFixedExports[] = {
    {"EVENT_SendAlertUsingAMgr", [] { return EVENT_SendAlertUsingAMgr(1, 0xFFFFFFFFu, 11); }, 0},
    {"EVENT_ConfigureEventClient", [] { return EVENT_ConfigureEventClient(0); }, 1},
    {"EVENT_GetEventClientConfig", [] { return EVENT_GetEventClientConfig(0); }, 1},
    {"EVENT_ConfigureEventMessages", [] { return EVENT_ConfigureEventMessages(0); }, 1},
    {"EVENT_ConfigureEventMessagesEx", [] { return EVENT_ConfigureEventMessagesEx(0, 0, 0); }, 1},
    {"EVENT_ConfigureEventMgrClient", [] { return EVENT_ConfigureEventMgrClient(0); }, 1},
    {"EVENT_ConfigureEventMgrClientEx",
     [] { return EVENT_ConfigureEventMgrClientEx(0, 0x80000000u, 0); }, 1},
    {"EVENT_GetDefaultPublishedAM", [] { return EVENT_GetDefaultPublishedAM(0, 0, 0); }, 11},
    {"EVENT_HasEventClientBeenConfigured", [] { return EVENT_HasEventClientBeenConfigured(); }, 1},
    {"EVENT_IsEventClientConfigurable", [] { return EVENT_IsEventClientConfigurable(); }, 0},
    {"EVENT_SelectAlertManagerDestination",
     [] { return EVENT_SelectAlertManagerDestination(0, 0, 0); }, 1},
};

TEST(FixedExports, EachAnswersItsValue) {
    for (const FixedExport& fixed : kFixedExports) {
        EXPECT_EQ(fixed.call(), fixed.value) << fixed.name;
    }
}

TEST(FixedExports, TouchNeitherTheSnapshotNorAnyStage) {
    ScopedStages stages;
    seen = {};
    std::memset(&LastEventSnapshot, 0x33, sizeof(LastEventSnapshot));
    const EventSnapshot before = LastEventSnapshot;
    for (const FixedExport& fixed : kFixedExports) fixed.call();
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
