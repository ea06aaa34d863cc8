// forwarding_test.cpp: the forwarding modules of a send: the registry list, the skip mark,
// repeats, the 16 values and slots, the calls and the unloads, and the diagnostic traces, with
// real modules built for the tests.
#include "delivery/forwarding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/registry.h"
#include "delivery/forwarding_slots.h"
#include "delivery_fixture.h"
#include "event/snapshot.h"
#include "kxevent/kxevent.h"
#include "platform/testing.h"
#include "runtime/state.h"
#include "support.h"

namespace kx::test {
namespace {

std::string ModulePath(const std::string& name) {
    return std::string(KX_TEST_FORWARD_DIR) + "/" + name + ".dll";
}

std::string CallLine(const std::string& tag) {
    return "call " + tag + " 7 1025 1025 9 expanded text";
}

struct TraceLine {
    std::string label;
    std::uint32_t number;
    std::string text;
    bool operator==(const TraceLine&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TraceLine& t) {
    return out << "{" << t.label << ", " << t.number << ", " << t.text << "}";
}

class ForwardingTest : public DeliveryTest {
  protected:
    ForwardingTest() : forwardLog_("KX_TEST_FORWARD_LOG", (scratch_ / "forward.log").string()) {
        std::strcpy(message_.szLongDescript, "expanded text");
        detail_.uTrapID = 1025;
        context_.abData[0] = 9;
    }

    void List(RegFile& reg) { WriteRegistry(reg); }

    int Send() { return ForwardEvent(7, 1025, &message_, &detail_, &context_); }

    // What the modules recorded: attaches, calls and detaches, in order.
    std::vector<std::string> ModuleEvents() const {
        return Lines(ReadFile(scratch_ / "forward.log"));
    }

    std::vector<std::string> Calls() const {
        std::vector<std::string> calls;
        for (const std::string& line : ModuleEvents()) {
            if (line.starts_with("call ")) calls.push_back(line);
        }
        return calls;
    }

    static std::vector<TraceLine> Traces() {
        std::vector<TraceLine> traces;
        for (const LoggedEntry& e : LoggedEntries()) {
            EXPECT_FALSE(e.source.has_value());
            EXPECT_EQ(e.kind, 2u);
            traces.push_back({e.label, e.number, e.text});
        }
        return traces;
    }

    static bool Traced(const TraceLine& wanted) {
        const std::vector<TraceLine> traces = Traces();
        return std::find(traces.begin(), traces.end(), wanted) != traces.end();
    }

    MessageRecord message_{};
    DetailRecord detail_{};
    ContextRecord context_{};

  private:
    ScopedEnv forwardLog_;
};

RegFile ForwardingList() {
    RegFile reg;
    reg.Key(kForwardingKey);
    return reg;
}

// ----- Loading, calling and unloading ----------------------------------------------------------

TEST_F(ForwardingTest, EveryListedModuleIsCalledOnceAndUnloadedBeforeTheSendReturns) {
    RegFile reg = ForwardingList();
    reg.String("First", ModulePath("FwdA")).String("Second", ModulePath("FwdB"));
    List(reg);
    EXPECT_EQ(Send(), 0);
    EXPECT_EQ(ModuleEvents(),
              (std::vector<std::string>{"attach FwdA", "attach FwdB", CallLine("FwdA"),
                                        CallLine("FwdB"), "detach FwdA", "detach FwdB"}));
}

TEST_F(ForwardingTest, ModulesAreReleasedSlotZeroFirstInListOrder) {
    RegFile reg = ForwardingList();
    reg.String("Second", ModulePath("FwdB")).String("First", ModulePath("FwdA"));
    List(reg);
    Send();
    const std::vector<std::string> events = ModuleEvents();
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[4], "detach FwdB");
    EXPECT_EQ(events[5], "detach FwdA");
}

TEST_F(ForwardingTest, EachSendReadsTheListAnew) {
    RegFile first = ForwardingList();
    first.String("A", ModulePath("FwdA"));
    List(first);
    Send();
    RegFile second = ForwardingList();
    second.String("B", ModulePath("FwdB"));
    List(second);
    Send();
    EXPECT_EQ(ModuleEvents(),
              (std::vector<std::string>{"attach FwdA", CallLine("FwdA"), "detach FwdA",
                                        "attach FwdB", CallLine("FwdB"), "detach FwdB"}));
}

TEST_F(ForwardingTest, MissingKeyForwardsNothing) {
    EXPECT_EQ(Send(), 0);
    EXPECT_TRUE(ModuleEvents().empty());
}

TEST_F(ForwardingTest, SamePathTwiceIsLoadedAndCalledOnceInTheFirstSlot) {
    DiagnosticsEnabled = true;
    RegFile reg = ForwardingList();
    reg.String("Once", ModulePath("FwdA")).String("Again", ModulePath("FwdA"));
    List(reg);
    Send();
    EXPECT_EQ(Calls(), std::vector<std::string>{CallLine("FwdA")});
    EXPECT_TRUE(Traced({"LoadForwarding Dll description in reg", 0, "Once"}));
    EXPECT_FALSE(Traced({"LoadForwarding Dll description in reg", 1, "Again"}));
}

TEST_F(ForwardingTest, PathsDifferingOnlyInCaseAreBothCalled) {
    RegFile reg = ForwardingList();
    reg.String("Upper", ModulePath("FwdA")).String("Lower", ModulePath("fwda"));
    List(reg);
    Send();
    EXPECT_EQ(Calls(), (std::vector<std::string>{CallLine("FwdA"), CallLine("FwdA")}));
    EXPECT_EQ(ModuleEvents().back(), "detach FwdA");
}

TEST_F(ForwardingTest, DontLoadMarkAtTheVeryEndSkipsTheValue) {
    DiagnosticsEnabled = true;
    RegFile reg = ForwardingList();
    reg.String(" Dont Load", ModulePath("FwdA"))
        .String("Scanner Dont Load", ModulePath("FwdB"))
        .String("Mailer dont load", ModulePath("FwdC"))
        .String("Viewer Dont Load!", ModulePath("FwdD"))
        .String("Dont Load", ModulePath("FwdCheck"));
    List(reg);
    Send();
    EXPECT_EQ(Calls(),
              (std::vector<std::string>{CallLine("FwdC"), CallLine("FwdD"), CallLine("FwdCheck")}));
    EXPECT_TRUE(Traced({"LoadForwarding Dont Load Spotted", 0, " Dont Load"}));
    EXPECT_TRUE(Traced({"LoadForwarding Dont Load Spotted", 0, "Scanner Dont Load"}));
    EXPECT_TRUE(Traced({"LoadForwarding Dll description in reg", 0, "Mailer dont load"}));
}

TEST_F(ForwardingTest, OnlyTheFirstSixteenValuesAreExamined) {
    RegFile reg = ForwardingList();
    for (int i = 0; i < 8; ++i) {
        reg.String("Skipped " + std::to_string(i) + " Dont Load", ModulePath("FwdB"));
    }
    for (int i = 8; i < 15; ++i) {
        reg.String("Missing " + std::to_string(i),
                   (scratch_ / ("missing" + std::to_string(i) + ".dll")).string());
    }
    reg.String("Sixteenth", ModulePath("FwdA")).String("Seventeenth", ModulePath("FwdC"));
    List(reg);
    Send();
    EXPECT_EQ(Calls(), std::vector<std::string>{CallLine("FwdA")});
}

TEST_F(ForwardingTest, EmptyModulePathIsPassedOverWithoutLoadOrTrace) {
    DiagnosticsEnabled = true;
    RegFile reg = ForwardingList();
    reg.String("Nothing", "").String("Real", ModulePath("FwdA"));
    List(reg);
    Send();
    EXPECT_EQ(Calls(), std::vector<std::string>{CallLine("FwdA")});
    EXPECT_FALSE(Traced({"LoadForwarding Dll description in reg", 0, "Nothing"}));
    EXPECT_TRUE(Traced({"LoadForwarding Dll description in reg", 0, "Real"}));
}

TEST_F(ForwardingTest, UnnamedDefaultValueIsAModuleLikeAnyOther) {
    RegFile reg = ForwardingList();
    reg.String("", ModulePath("FwdA"));
    List(reg);
    Send();
    EXPECT_EQ(Calls(), std::vector<std::string>{CallLine("FwdA")});
}

TEST_F(ForwardingTest, ValueTooLongForItsBufferEndsTheScan) {
    RegFile reg = ForwardingList();
    reg.String("Before", ModulePath("FwdA"))
        .String("TooLong", std::string(300, 'x'))
        .String("After", ModulePath("FwdB"));
    List(reg);
    Send();
    EXPECT_EQ(Calls(), std::vector<std::string>{CallLine("FwdA")});
}

TEST_F(ForwardingTest, NameTooLongForItsBufferEndsTheScan) {
    RegFile reg = ForwardingList();
    reg.String("Before", ModulePath("FwdA"))
        .String(std::string(260, 'n'), ModulePath("FwdC"))
        .String("After", ModulePath("FwdB"));
    List(reg);
    Send();
    EXPECT_EQ(Calls(), std::vector<std::string>{CallLine("FwdA")});
}

TEST_F(ForwardingTest, NonTextDataIsUsedAsAText) {
    const std::string path = ModulePath("FwdA");
    std::vector<std::uint8_t> bytes(path.begin(), path.end());  // no terminator
    RegFile reg = ForwardingList();
    reg.Hex("Binary", bytes);
    List(reg);
    Send();
    EXPECT_EQ(Calls(), std::vector<std::string>{CallLine("FwdA")});
}

TEST_F(ForwardingTest, ModuleThatFailsToLoadLeavesItsSlotForTheNext) {
    DiagnosticsEnabled = true;
    const std::string missing = (scratch_ / "missing.dll").string();
    RegFile reg = ForwardingList();
    reg.String("Missing", missing).String("Real", ModulePath("FwdA"));
    List(reg);
    Send();
    EXPECT_EQ(Calls(), std::vector<std::string>{CallLine("FwdA")});
    EXPECT_TRUE(Traced({"LoadForwarding LoadLibrary Failed", 0, missing}));
    EXPECT_TRUE(Traced({"LoadForwarding LoadLibrary Success", 0, ModulePath("FwdA")}));
}

TEST_F(ForwardingTest, ModuleWithoutForwardEntryIsFreedAndItsSlotReused) {
    DiagnosticsEnabled = true;
    RegFile reg = ForwardingList();
    reg.String("NoEntry", ModulePath("FwdNoEntry")).String("Real", ModulePath("FwdA"));
    List(reg);
    Send();
    EXPECT_EQ(ModuleEvents(),
              (std::vector<std::string>{"attach FwdNoEntry", "detach FwdNoEntry", "attach FwdA",
                                        CallLine("FwdA"), "detach FwdA"}));
    EXPECT_TRUE(Traced({"LoadForwarding", 0, "No ForwardVelMessage Function with GPA"}));
    EXPECT_TRUE(Traced({"UnloadForwardingDll", 0, ModulePath("FwdA")}));
}

TEST_F(ForwardingTest, UnloadCheckEntryChangesOnlyTheTrace) {
    DiagnosticsEnabled = true;
    RegFile reg = ForwardingList();
    reg.String("Check", ModulePath("FwdCheck")).String("Plain", ModulePath("FwdA"));
    List(reg);
    Send();
    EXPECT_EQ(Calls(), (std::vector<std::string>{CallLine("FwdCheck"), CallLine("FwdA")}));
    EXPECT_EQ(ModuleEvents().back(), "detach FwdA");  // never called, unloaded all the same
    EXPECT_TRUE(Traced({"LoadForwarding GPA special UnloadForwardingCheck", 0, "Has Function"}));
    EXPECT_TRUE(
        Traced({"LoadForwarding GPA special UnloadForwardingCheck", 1, "Doesnt have function"}));
}

TEST_F(ForwardingTest, ModulesStillRunAndUnloadWhenTheirPathsCannotBeCopied) {
    RegFile reg = ForwardingList();
    reg.String("A", ModulePath("FwdA")).String("B", ModulePath("FwdB"));
    List(reg);
    plat::testing::FailAllocation(1, true);
    Send();
    plat::testing::ClearAllocationFaults();
    EXPECT_EQ(ModuleEvents(),
              (std::vector<std::string>{"attach FwdA", "attach FwdB", CallLine("FwdA"),
                                        CallLine("FwdB"), "detach FwdA", "detach FwdB"}));
}

// ----- Traces ----------------------------------------------------------------------------------

TEST_F(ForwardingTest, TracesEveryStepWithItsLabelNumberAndText) {
    DiagnosticsEnabled = true;
    const std::string path = ModulePath("FwdCheck");
    RegFile reg = ForwardingList();
    reg.String("Checker", path);
    List(reg);
    Send();
    EXPECT_EQ(Traces(), (std::vector<TraceLine>{
                            {"VelEvent Forward", 0, "Looking for Forwarding Dlls"},
                            {"LoadForwarding Dll description in reg", 0, "Checker"},
                            {"LoadForwarding Dll name in reg about to load", 0, path},
                            {"LoadForwarding LoadLibrary Success", 0, path},
                            {"LoadForwarding GPA special UnloadForwardingCheck", 0, "Has Function"},
                            {"ForwardVELMessage calling Forwarding", 0, "expanded text"},
                            {"ForwardVELMessage back from Forwarding", 0, "expanded text"},
                            {"UnloadForwardingDll", 0, path},
                        }));
}

TEST_F(ForwardingTest, MissingKeyIsTraced) {
    DiagnosticsEnabled = true;
    Send();
    EXPECT_EQ(Traces(),
              (std::vector<TraceLine>{{"VelEvent Forward", 0, "Looking for Forwarding Dlls"},
                                      {"VelEvent Forward", 0, "No Forwarding RegKey"}}));
}

TEST_F(ForwardingTest, NothingIsTracedWhileDiagnosticsAreOff) {
    RegFile reg = ForwardingList();
    reg.String("A", ModulePath("FwdA")).String("X Dont Load", ModulePath("FwdB"));
    List(reg);
    Send();
    EXPECT_EQ(Calls(), std::vector<std::string>{CallLine("FwdA")});
    EXPECT_TRUE(LoggedEntries().empty());
}

TEST_F(ForwardingTest, SkipMarkNeedsTheExactTenCharacters) {
    EXPECT_TRUE(HasDontLoadMark(" Dont Load"));
    EXPECT_TRUE(HasDontLoadMark("Anything Dont Load"));
    EXPECT_FALSE(HasDontLoadMark("Dont Load"));
    EXPECT_FALSE(HasDontLoadMark("X Dont load"));
    EXPECT_FALSE(HasDontLoadMark("X Dont Load "));
    EXPECT_FALSE(HasDontLoadMark(""));
}

// ----- A module that calls the library again ---------------------------------------------------

// A module that sends an event of its own from inside a re-send: that nested event is the last
// one populated, and the re-send's write-back of its private copy must not replace it.
TEST_F(ForwardingTest, ModuleSendingFromInsideAReSendLeavesItsEventAsTheLastPopulated) {
    const plat::Module module = plat::LoadLibraryA(ModulePath("FwdReenter").c_str());
    ASSERT_NE(module, nullptr);
    using SendFn =
        int(KX_API*)(std::uint32_t, std::int32_t, MessageRecord*, DetailRecord*, ContextRecord*);
    const auto reenterWith =
        reinterpret_cast<void (*)(SendFn)>(plat::GetProcAddress(module, "ForwardTestReenterWith"));
    ASSERT_NE(reenterWith, nullptr);
    reenterWith(&EVENT_SendVELMessage);
    RegFile reg = ForwardingList();
    reg.String("Reenter", ModulePath("FwdReenter"));
    for (const char* event : {"1000", "2000"}) {
        reg.Key(std::string(kEventsKey) + "\\0901\\" + event)
            .String("ID", "Virus Found")
            .String("LONGDESCRIPT", "Found %VIRUSNAME%.");
    }
    reg.Key(kAlertingKey).Dword("bEnableCAlert", 0).Dword("NoIP", 1);
    List(reg);
    std::strcpy(LanguageCode, "0901");
    std::strcpy(detail_.szVirusName, "OUTER");

    ASSERT_EQ(EVENT_PopulateEventStructures(7, "first", &message_, &detail_, &context_), EVENT_OK);
    EXPECT_EQ(EVENT_SendVELEvent(7, 2000, "again"), EVENT_OK);
    reenterWith(nullptr);
    plat::FreeLibrary(module);

    EXPECT_EQ(Calls(), (std::vector<std::string>{"call FwdReenter 7 2000 2000 9 Found OUTER.",
                                                 "call FwdReenter 7 1000 1000 0 Found NESTED."}));
    EXPECT_STREQ(LastEventSnapshot.detail.szVirusName, "NESTED");
}

}  // namespace
}  // namespace kx::test
