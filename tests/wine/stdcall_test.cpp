// stdcall_test.cpp: the calling convention of KXEvent.DLL on 32-bit Windows, observed on the
// stack. Every export, found by its ordinal, is called through an assembly thunk that compares
// the stack pointer before the arguments are pushed with the one after the call returns; the
// library's calls into forwarding modules are checked from the modules' side.
#include "stdcall_probe.h"

#if defined(__i386__)

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "event_library.h"
#include "harness.h"
#include "tests/exports/event_exports.h"

namespace kx::wine {
namespace {

// Two 32-bit arguments with the C convention (the caller removes them) and with the Windows API
// convention: what the thunk must tell apart.
extern "C" __attribute__((noinline, cdecl)) std::uint32_t AddCallerCleans(std::uint32_t a,
                                                                          std::uint32_t b) {
    return a + b;
}
extern "C" __attribute__((noinline, stdcall)) std::uint32_t AddCalleeCleans(std::uint32_t a,
                                                                            std::uint32_t b) {
    return a + b;
}

TEST(StdcallProbeTest, AnEntryThatRemovesItsArgumentsLeavesTheStackAsItWas) {
    const StdcallOutcome outcome =
        CallThroughProbe(reinterpret_cast<const void*>(&AddCalleeCleans), {40, 2});
    EXPECT_EQ(outcome.stackChange, 0);
    EXPECT_EQ(outcome.result, 42u);
    EXPECT_TRUE(outcome.savedRegistersKept);
}

TEST(StdcallProbeTest, AnEntryThatLeavesItsArgumentsIsSeen) {
    const StdcallOutcome outcome =
        CallThroughProbe(reinterpret_cast<const void*>(&AddCallerCleans), {40, 2});
    EXPECT_EQ(outcome.stackChange, -8);
    EXPECT_EQ(outcome.result, 42u);
}

TEST(StdcallProbeTest, AnEntryGivenOneArgumentTooManyLeavesIt) {
    const StdcallOutcome outcome =
        CallThroughProbe(reinterpret_cast<const void*>(&AddCalleeCleans), {40, 2, 7});
    EXPECT_EQ(outcome.stackChange, -4);
}

class StdcallTest : public WineTest {
  protected:
    // Arguments each export accepts as a product passes them: real records, a task name and a
    // text buffer where it takes pointers.
    std::vector<std::uint32_t> ArgumentsFor(std::string_view name) {
        const std::uint32_t message = Argument(&records_->message);
        const std::uint32_t detail = Argument(&records_->detail);
        const std::uint32_t context = Argument(&records_->context);
        const std::uint32_t task = Argument(task_);
        if (name == "EVENT_PopulateEventStructures") return {1, task, message, detail, context};
        if (name == "EVENT_QueryMessageText")
            return {1, 1000, message, detail, context, Argument(text_), sizeof text_};
        if (name == "EVENT_SendVELEvent") return {1, 1000, task};
        if (name == "EVENT_SendVELEventEx") return {0, 1, 1000, task, 1, 0};
        if (name == "EVENT_SendVELMessage") return {1, 1000, message, detail, context};
        if (name == "EVENT_SendVELMessageEx") return {0, 1, 1000, message, detail, context, 1, 0};
        // The entries that do no work take plain numbers.
        if (name.find("Ex") == name.size() - 2 || name == "EVENT_SendAlertUsingAMgr" ||
            name == "EVENT_GetDefaultPublishedAM" || name == "EVENT_SelectAlertManagerDestination")
            return {7, 8, 9};
        if (name == "EVENT_HasEventClientBeenConfigured" ||
            name == "EVENT_IsEventClientConfigurable")
            return {};
        return {7};
    }

    std::unique_ptr<Records> records_ = NewRecords();
    char task_[16] = "stackcheck";
    char text_[1024] = {};
};

TEST_F(StdcallTest, EveryExportFoundByOrdinalRemovesExactlyItsOwnArguments) {
    Import(BaseRegistry());
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    int checked = 0;
    for (const auto& entry : test::kEventExports) {
        const FARPROC address =
            ::GetProcAddress(library.module(), MAKEINTRESOURCEA(static_cast<WORD>(entry.ordinal)));
        ASSERT_NE(address, nullptr) << entry.name;
        const std::vector<std::uint32_t> arguments = ArgumentsFor(entry.name);
        ASSERT_EQ(arguments.size(), static_cast<std::size_t>(entry.arguments)) << entry.name;
        const StdcallOutcome outcome =
            CallThroughProbe(reinterpret_cast<const void*>(address), arguments);
        EXPECT_EQ(outcome.stackChange, 0) << entry.name << " (ordinal " << entry.ordinal
                                          << ") with " << entry.arguments << " arguments";
        EXPECT_TRUE(outcome.savedRegistersKept) << entry.name;
        ++checked;
    }
    EXPECT_EQ(checked, 17);
}

TEST_F(StdcallTest, WorkingExportsCalledThroughTheProbeStillDoTheirWork) {
    Import(BaseRegistry());
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    const auto call = [&](int ordinal, std::string_view name) {
        const FARPROC address =
            ::GetProcAddress(library.module(), MAKEINTRESOURCEA(static_cast<WORD>(ordinal)));
        return CallThroughProbe(reinterpret_cast<const void*>(address), ArgumentsFor(name));
    };
    EXPECT_EQ(call(11, "EVENT_PopulateEventStructures").result,
              static_cast<std::uint32_t>(EVENT_OK));
    EXPECT_NE(records_->message.szComputerName[0], '\0') << "records not populated";
    EXPECT_EQ(call(12, "EVENT_QueryMessageText").result, static_cast<std::uint32_t>(EVENT_OK));
    EXPECT_NE(text_[0], '\0') << "no message text written";
    EXPECT_EQ(call(8, "EVENT_GetDefaultPublishedAM").result, 11u);
}

// The stack-checking forwarding module writes "stack TAG|entry ESP|product|event|context byte"
// for each call; a caller that did not expect the module to remove its five arguments would
// call the next module with its stack pointer moved.
TEST_F(StdcallTest, TheLibraryCallsForwardingModulesWithTheWindowsApiConvention) {
    const std::string built = JoinPath(TestModuleDirectory(), "FwdProbeStack.dll");
    RegFile reg = BaseRegistry();
    auto& list = reg.Key(kForwardingKey);
    for (const char* name : {"1", "2", "3"}) {
        const std::string copy = Scratch() / (std::string("FwdProbeStack") + name + ".dll");
        CopyFileTo(built, copy);
        list.String(std::string("Stack ") + name, copy);
    }
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    records_->context.abData[0] = 23;
    const FARPROC send = ::GetProcAddress(library.module(), MAKEINTRESOURCEA(16));
    for (int round = 0; round < 2; ++round) {
        const StdcallOutcome outcome = CallThroughProbe(reinterpret_cast<const void*>(send),
                                                        ArgumentsFor("EVENT_SendVELMessage"));
        EXPECT_EQ(outcome.stackChange, 0);
        EXPECT_EQ(outcome.result, static_cast<std::uint32_t>(EVENT_OK));
    }

    std::vector<std::string> entries;
    for (const std::string& line : ReadLines(ForwardLogPath())) {
        EXPECT_NE(line.rfind("unload-check ", 0), 0u) << "the library called " << line;
        if (line.rfind("stack ", 0) != 0) continue;
        const auto fields = line.substr(line.find('|') + 1);
        EXPECT_EQ(fields.substr(fields.find('|')), "|1|1000|23") << line;
        entries.push_back(fields.substr(0, fields.find('|')));
    }
    ASSERT_EQ(entries.size(), 6u);
    for (std::size_t i = 1; i < 3; ++i) EXPECT_EQ(entries[i], entries[0]) << "call " << i;
    for (std::size_t i = 4; i < 6; ++i) EXPECT_EQ(entries[i], entries[3]) << "call " << i;
}

}  // namespace
}  // namespace kx::wine

#endif
