// The send pipeline with its stages replaced by recording doubles: order, short-circuits,
// results, the expansion buffer and the re-send and query paths.
#include "event/pipeline.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "event/snapshot.h"
#include "platform/testing.h"
#include "records.h"
#include "stage_doubles.h"
#include "support.h"

namespace kx::test {
namespace {

using plat::testing::ScopedHook;

class SendPipeline : public ::testing::Test {
  protected:
    void SetUp() override {
        script = {};
        seen = {};
        plat::testing::ClearAllocationFaults();
    }
    void TearDown() override { plat::testing::ClearAllocationFaults(); }

    int Send(std::uint32_t suppress = 0) {
        return SendMessageEx(7, 4321, &r.message, &r.detail, &r.context, suppress);
    }

    ScopedStages stages;
    Records r;
};

TEST_F(SendPipeline, RunsEveryStageInOrderAndReleasesTheTableLast) {
    EXPECT_EQ(Send(), EVENT_OK);
    EXPECT_EQ(seen.calls, (Calls{"switch", "definition", "populate", "build", "expand", "alert",
                                 "forward", "free"}));
    EXPECT_EQ(seen.eventId, 4321);
    EXPECT_EQ(seen.productId, 7u);
    EXPECT_EQ(seen.freedTable, seen.builtTable);
}

TEST_F(SendPipeline, HandsTheCallersRecordsToTheStages) {
    Send();
    EXPECT_EQ(seen.message, &r.message);
    EXPECT_EQ(seen.detail, &r.detail);
    EXPECT_EQ(seen.context, &r.context);
}

TEST_F(SendPipeline, PopulatesWithANullTaskName) {
    Send();
    EXPECT_TRUE(seen.populateTaskNull);
}

TEST_F(SendPipeline, NoDefinitionReturns9AndTouchesNothing) {
    script.definitionFound = 0;
    std::memset(&r.message, 0x5A, sizeof(r.message));
    std::memset(&r.detail, 0x5B, sizeof(r.detail));
    std::memset(&r.context, 0x5C, sizeof(r.context));
    const Records before = r;

    EXPECT_EQ(Send(), EVENT_ERR_NO_DEFINITION);
    EXPECT_EQ(seen.calls, (Calls{"switch", "definition"}));
    EXPECT_EQ(std::memcmp(&before, &r, sizeof(Records)), 0);
}

TEST_F(SendPipeline, PopulationWithoutProductNameStillForwardsButRaisesNoAlert) {
    script.populationResult = EVENT_ERR_NO_PRODUCT_NAME;
    EXPECT_EQ(Send(), EVENT_ERR_NO_PRODUCT_NAME);
    EXPECT_EQ(seen.calls,
              (Calls{"switch", "definition", "populate", "build", "expand", "forward", "free"}));
}

TEST_F(SendPipeline, PopulationWithoutAlertingKeyStillForwardsButRaisesNoAlert) {
    script.populationResult = EVENT_ERR_NO_ALERTING_KEY;
    EXPECT_EQ(Send(), EVENT_ERR_NO_ALERTING_KEY);
    EXPECT_EQ(seen.calls,
              (Calls{"switch", "definition", "populate", "build", "expand", "forward", "free"}));
}

TEST_F(SendPipeline, NoVariableTableReturns10WithoutExpansionAlertOrForwarding) {
    script.tableAvailable = false;
    std::strcpy(r.message.szLongDescript, "kept");
    EXPECT_EQ(Send(), EVENT_ERR_NO_MEMORY);
    EXPECT_EQ(seen.calls, (Calls{"switch", "definition", "populate", "build"}));
    EXPECT_STREQ(r.message.szLongDescript, "long %VIRUSNAME%");
}

TEST_F(SendPipeline, NoVariableTableWinsOverAPopulationFailure) {
    script.tableAvailable = false;
    script.populationResult = EVENT_ERR_NO_ALERTING_KEY;
    EXPECT_EQ(Send(), EVENT_ERR_NO_MEMORY);
}

TEST_F(SendPipeline, UnreadableAlertPathReturns1AndStillForwards) {
    script.alertPathReadable = false;
    EXPECT_EQ(Send(), EVENT_ERR_NO_ALERT_PATH);
    EXPECT_EQ(seen.calls.back(), "free");
    EXPECT_EQ(seen.calls[seen.calls.size() - 2], "forward");
}

TEST_F(SendPipeline, AlertingOffReturnsThePopulationResultAndForwards) {
    script.alertingOn = 0;
    EXPECT_EQ(Send(), EVENT_OK);
    EXPECT_EQ(seen.calls,
              (Calls{"switch", "definition", "populate", "build", "expand", "forward", "free"}));
}

TEST_F(SendPipeline, SuppressedAlertIsNotRaisedForAnOrdinaryEvent) {
    script.alwaysAlert = 0;
    EXPECT_EQ(Send(1), EVENT_OK);
    EXPECT_EQ(std::count(seen.calls.begin(), seen.calls.end(), "alert"), 0);
    EXPECT_EQ(std::count(seen.calls.begin(), seen.calls.end(), "forward"), 1);
}

TEST_F(SendPipeline, SuppressedAlertIsRaisedForAnAlwaysAlertEvent) {
    script.alwaysAlert = 1;
    EXPECT_EQ(Send(0xFFFFFFFFu), EVENT_OK);
    EXPECT_EQ(std::count(seen.calls.begin(), seen.calls.end(), "alert"), 1);
}

TEST_F(SendPipeline, LongExpansionIsCutInTheRecordButWholeInTheAlert) {
    script.expansion = std::string(1500, 'e');
    EXPECT_EQ(Send(), EVENT_OK);
    EXPECT_EQ(std::string(r.message.szLongDescript), std::string(1023, 'e'));
    EXPECT_EQ(seen.alertText, std::string(1500, 'e'));
    EXPECT_FALSE(seen.alertBufferNull);
}

TEST_F(SendPipeline, ExpansionReceivesTheDefinitionsLongDescription) {
    Send();
    EXPECT_EQ(seen.expandInput, "long %VIRUSNAME%");
    EXPECT_STREQ(r.message.szLongDescript, "expanded text");
}

TEST_F(SendPipeline, FailedExpansionLeavesTheTextAndGivesItToTheAlert) {
    script.expansionResult = 0;
    EXPECT_EQ(Send(), EVENT_OK);
    EXPECT_STREQ(r.message.szLongDescript, "long %VIRUSNAME%");
    EXPECT_EQ(seen.alertText, "long %VIRUSNAME%");
    EXPECT_FALSE(seen.alertBufferNull);
}

TEST_F(SendPipeline, NoExpansionBufferSkipsExpansionAndAlertsWithTheRecordText) {
    plat::testing::FailAllocation(1);
    EXPECT_EQ(Send(), EVENT_OK);
    EXPECT_EQ(seen.calls,
              (Calls{"switch", "definition", "populate", "build", "alert", "forward", "free"}));
    EXPECT_TRUE(seen.alertBufferNull);
    EXPECT_EQ(seen.alertText, "long %VIRUSNAME%");
}

// Counts the blocks handed out and given back through the platform allocator.
int liveBlocks = 0;
std::size_t lastSize = 0;

TEST_F(SendPipeline, ExpansionBufferIs2048BytesAndGivenBackOnEveryPath) {
    ScopedHook<&plat::HookTable::Allocate> allocate(+[](std::size_t size) -> void* {
        ++liveBlocks;
        lastSize = size;
        return ::operator new(size);
    });
    ScopedHook<&plat::HookTable::Release> release(+[](void* block) {
        if (block == nullptr) return;
        --liveBlocks;
        ::operator delete(block);
    });
    Send();
    EXPECT_EQ(lastSize, 2048u);
    EXPECT_EQ(liveBlocks, 0);
    script.alertPathReadable = false;
    Send();
    EXPECT_EQ(liveBlocks, 0);
    script.tableAvailable = false;
    Send();
    EXPECT_EQ(liveBlocks, 0);
}

TEST_F(SendPipeline, NullRecordsAreRefusedBeforeAnyStage) {
    EXPECT_EQ(SendMessageEx(1, 1, nullptr, &r.detail, &r.context, 0), EVENT_ERR_NO_DEFINITION);
    EXPECT_EQ(SendMessageEx(1, 1, &r.message, nullptr, &r.context, 0), EVENT_ERR_NO_DEFINITION);
    EXPECT_EQ(SendMessageEx(1, 1, &r.message, &r.detail, nullptr, 0), EVENT_ERR_NO_DEFINITION);
    EXPECT_TRUE(seen.calls.empty());
}

// Once the doubles are gone, a send runs the real stages again: the real definition stage finds
// no catalogue at all, and the send stops there with the records untouched.
TEST(PipelineStageTable, SendAfterTheDoublesRunsTheRealStages) {
    TempDir dir;
    ScopedEnv registry{"VEL_REGISTRY", (dir / "absent.reg").string()};
    { ScopedStages doubles; }
    seen = {};
    Records r;
    std::memset(&r.message, 0x5A, sizeof(r.message));
    const Records before = r;

    EXPECT_EQ(SendMessageEx(7, 4321, &r.message, &r.detail, &r.context, 0),
              EVENT_ERR_NO_DEFINITION);
    EXPECT_TRUE(seen.calls.empty());
    EXPECT_EQ(std::memcmp(&before, &r, sizeof(Records)), 0);
}

// ---------------------------------------------------------------------------------------------
// Re-sends of the last populated event.

class SnapshotSend : public SendPipeline {
  protected:
    void SetUp() override {
        SendPipeline::SetUp();
        std::memset(&LastEventSnapshot, 0, sizeof(LastEventSnapshot));
    }
};

TEST_F(SnapshotSend, SendsACopyOfTheSnapshotAndKeepsWhatTheSendMade) {
    std::strcpy(LastEventSnapshot.detail.szVirusName, "EICAR");
    LastEventSnapshot.context.abData[7] = 0x5A;
    EXPECT_EQ(SendEventEx(3, 77, "scan", 0), EVENT_OK);
    // Another thread may store into the snapshot meanwhile: the send never runs on it directly.
    EXPECT_NE(seen.message, &LastEventSnapshot.message);
    EXPECT_NE(seen.detail, &LastEventSnapshot.detail);
    EXPECT_NE(seen.context, &LastEventSnapshot.context);
    EXPECT_EQ(seen.eventId, 77);
    EXPECT_STREQ(LastEventSnapshot.detail.szVirusName, "EICAR");
    EXPECT_EQ(LastEventSnapshot.context.abData[7], 0x5A);
    EXPECT_STREQ(LastEventSnapshot.detail.szTaskName, "scan");
    EXPECT_STREQ(LastEventSnapshot.message.szLongDescript, "expanded text");
}

TEST_F(SnapshotSend, TaskNameStaysWhenTheEventHasNoDefinition) {
    script.definitionFound = 0;
    EXPECT_EQ(SendEventEx(3, 77, "nightly", 0), EVENT_ERR_NO_DEFINITION);
    EXPECT_STREQ(LastEventSnapshot.detail.szTaskName, "nightly");
}

TEST_F(SnapshotSend, NullTaskNameEmptiesTheField) {
    std::strcpy(LastEventSnapshot.detail.szTaskName, "old");
    SendEventEx(3, 77, nullptr, 0);
    EXPECT_STREQ(LastEventSnapshot.detail.szTaskName, "");
}

TEST_F(SnapshotSend, LongTaskNameKeepsItsFirst15Characters) {
    // No terminator within the first 20 bytes: only 15 may be read.
    char name[20];
    std::memset(name, 'T', sizeof(name));
    name[0] = 'A';
    SendEventEx(3, 77, name, 0);
    EXPECT_EQ(std::string(LastEventSnapshot.detail.szTaskName), "A" + std::string(14, 'T'));
}

TEST_F(SnapshotSend, SuppressionAppliesToTheReSend) {
    EXPECT_EQ(SendEventEx(3, 77, "t", 1), EVENT_OK);
    EXPECT_EQ(std::count(seen.calls.begin(), seen.calls.end(), "alert"), 0);
}

// ---------------------------------------------------------------------------------------------
// The long-description query.

class TextQuery : public SendPipeline {
  protected:
    int Query(char* text, std::uint32_t size) {
        return QueryMessageText(5, 99, &r.message, &r.detail, &r.context, text, size);
    }
};

TEST_F(TextQuery, CopiesTheUnexpandedTextZeroFilled) {
    char text[40];
    std::memset(text, '#', sizeof(text));
    EXPECT_EQ(Query(text, 32), EVENT_OK);
    EXPECT_STREQ(text, "long %VIRUSNAME%");
    for (int i = 16; i < 32; ++i) EXPECT_EQ(text[i], '\0') << i;
    EXPECT_EQ(text[32], '#');
}

TEST_F(TextQuery, ReadsDefinitionAndPopulatesWithAnEmptyTaskNameOnly) {
    char text[64];
    Query(text, sizeof(text));
    EXPECT_EQ(seen.calls, (Calls{"definition", "populate"}));
    EXPECT_FALSE(seen.populateTaskNull);
    EXPECT_EQ(seen.populateTask, "");
    EXPECT_EQ(r.detail.uTrapID, 0u);
}

TEST_F(TextQuery, NullBufferReturnsThePopulationResult) {
    script.populationResult = EVENT_ERR_NO_ALERTING_KEY;
    EXPECT_EQ(Query(nullptr, 100), EVENT_ERR_NO_ALERTING_KEY);
    script.populationResult = EVENT_OK;
    EXPECT_EQ(Query(nullptr, 100), EVENT_OK);
}

TEST_F(TextQuery, ZeroSizeWritesNothing) {
    char text[8];
    std::memset(text, '#', sizeof(text));
    EXPECT_EQ(Query(text, 0), EVENT_OK);
    EXPECT_EQ(std::string(text, sizeof(text)), std::string(8, '#'));
}

TEST_F(TextQuery, ShortBufferIsFilledWithoutTerminator) {
    char text[8];
    std::memset(text, '#', sizeof(text));
    EXPECT_EQ(Query(text, 5), EVENT_OK);
    EXPECT_EQ(std::string(text, sizeof(text)), "long ###");
}

TEST_F(TextQuery, BufferOfExactlyTheTextLengthHasNoTerminator) {
    char text[20];
    std::memset(text, '#', sizeof(text));
    Query(text, 16);  // "long %VIRUSNAME%" has 16 characters
    EXPECT_EQ(std::string(text, 17), "long %VIRUSNAME%#");
}

TEST_F(TextQuery, FailedPopulationCopiesNothing) {
    script.populationResult = EVENT_ERR_NO_PRODUCT_NAME;
    char text[8];
    std::memset(text, '#', sizeof(text));
    EXPECT_EQ(Query(text, sizeof(text)), EVENT_ERR_NO_PRODUCT_NAME);
    EXPECT_EQ(std::string(text, sizeof(text)), std::string(8, '#'));
}

TEST_F(TextQuery, NoDefinitionReturns9WithoutPopulation) {
    script.definitionFound = 0;
    char text[8] = "same";
    EXPECT_EQ(Query(text, sizeof(text)), EVENT_ERR_NO_DEFINITION);
    EXPECT_EQ(seen.calls, (Calls{"definition"}));
    EXPECT_STREQ(text, "same");
}

TEST_F(TextQuery, NullRecordsAreRefused) {
    char text[8] = "same";
    EXPECT_EQ(QueryMessageText(1, 1, &r.message, nullptr, &r.context, text, 8),
              EVENT_ERR_NO_DEFINITION);
    EXPECT_TRUE(seen.calls.empty());
    EXPECT_STREQ(text, "same");
}

}  // namespace
}  // namespace kx::test
