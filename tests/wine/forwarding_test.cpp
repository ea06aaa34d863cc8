// forwarding_test.cpp: forwarding modules listed in the system's registry, loaded by the
// system's loader, called with the send's records and unloaded again within every send.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "event_library.h"
#include "harness.h"

namespace kx::wine {
namespace {

class ForwardingTest : public WineTest {
  protected:
    static std::string Module(const char* name) { return JoinPath(TestModuleDirectory(), name); }

    std::vector<std::string> ForwardLog() const { return ReadLines(ForwardLogPath()); }

    // Only the "call ..." lines, cut to their tag.
    std::vector<std::string> CalledTags() const {
        std::vector<std::string> tags;
        for (const std::string& line : ForwardLog()) {
            if (line.rfind("call ", 0) == 0) tags.push_back(line.substr(5, line.find('|') - 5));
        }
        return tags;
    }

    bool Logged(const std::string& line) const {
        const auto log = ForwardLog();
        return std::find(log.begin(), log.end(), line) != log.end();
    }
};

TEST_F(ForwardingTest, EveryListedModuleIsLoadedCalledAndUnloadedWithinEachSend) {
    RegFile reg = BaseRegistry();
    reg.Key(kForwardingKey)
        .String("First", Module("FwdProbeA.dll"))
        .String("Second", Module("FwdProbeB.dll"));
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    records->context.abData[0] = 42;
    std::strcpy(records->detail.szVirusName, "W32/Probe");

    ASSERT_EQ(library.Send(4, 1000, *records), EVENT_OK);
    ASSERT_EQ(library.Send(4, 1000, *records), EVENT_OK);

    const std::string call = std::string("|4|1000|1000|42|") + records->message.szComputerName +
                             "|" + records->message.szLongDescript;
    const std::vector<std::string> oneSend = {"attach FwdProbeA",      "attach FwdProbeB",
                                              "call FwdProbeA" + call, "call FwdProbeB" + call,
                                              "detach FwdProbeA",      "detach FwdProbeB"};
    std::vector<std::string> twoSends = oneSend;
    twoSends.insert(twoSends.end(), oneSend.begin(), oneSend.end());
    EXPECT_EQ(ForwardLog(), twoSends);
    EXPECT_NE(std::string(records->message.szLongDescript).find("W32/Probe"), std::string::npos);
}

TEST_F(ForwardingTest, MarkedRepeatedAndEntrylessModulesAreNotCalled) {
    RegFile reg = BaseRegistry();
    // Names sort as they are listed: Wine enumerates values by name, Windows in creation order.
    reg.Key(kForwardingKey)
        .String("1 Probe A Dont Load", Module("FwdProbeA.dll"))
        .String("2 Probe B", Module("FwdProbeB.dll"))
        .String("3 Probe B again", Module("FwdProbeB.dll"))
        .String("4 No entry", Module("FwdProbeNoEntry.dll"))
        .String("5 Empty", "")
        .String("6 Probe A dont load", Module("FwdProbeA.dll"));
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    ASSERT_EQ(library.Send(1, 1000, *records), EVENT_OK);
    EXPECT_EQ(CalledTags(), (std::vector<std::string>{"FwdProbeB", "FwdProbeA"}));
    EXPECT_TRUE(Logged("attach FwdProbeNoEntry"));
    EXPECT_TRUE(Logged("detach FwdProbeNoEntry"));
}

// The system's module search takes in the current directory and PATH, which whoever starts the
// host chooses: a name without a directory is refused, even when the search would find it.
TEST_F(ForwardingTest, ABareFileNameIsRefusedRatherThanSearchedFor) {
    char path[4096] = {};
    ::GetEnvironmentVariableA("PATH", path, sizeof path);
    const ScopedEnv searchPath("PATH", TestModuleDirectory() + ";" + path);
    RegFile reg = BaseRegistry();
    reg.Key(kForwardingKey).String("Checked", "FwdProbeCheck.dll");
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    ASSERT_EQ(library.Send(1, 1000, *records), EVENT_OK);
    EXPECT_TRUE(CalledTags().empty());
    EXPECT_FALSE(Logged("attach FwdProbeCheck"));
}

TEST_F(ForwardingTest, ModulesAreCalledEvenWhenPopulationOrAlertFail) {
    RegFile reg;
    reg.Key(std::string(kEventsKey) + "\\0901\\1000").String("LONGDESCRIPT", "No alerting key");
    reg.Key(kForwardingKey).String("Probe", Module("FwdProbeA.dll"));
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    EXPECT_EQ(library.Send(1, 1000, *records), EVENT_ERR_NO_ALERTING_KEY);
    EXPECT_EQ(CalledTags(), std::vector<std::string>{"FwdProbeA"});

    RegFile alerting;
    alerting.Key(kAlertingKey).Dword("bEnableCAlert", 1).Dword("NoIP", 1);
    Import(alerting);
    EXPECT_EQ(library.Send(1, 1000, *records), EVENT_ERR_NO_ALERT_PATH);
    EXPECT_EQ(CalledTags(), (std::vector<std::string>{"FwdProbeA", "FwdProbeA"}));
}

TEST_F(ForwardingTest, ReSendingTheLastEventHandsTheSnapshotToTheModules) {
    RegFile reg = BaseRegistry();
    reg.Key(kForwardingKey).String("Probe", Module("FwdProbeA.dll"));
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    records->context.abData[0] = 9;
    ASSERT_EQ(library.Populate(1, "first", *records), EVENT_OK);
    ASSERT_EQ(library.SendEvent(6, 1000, "again"), EVENT_OK);
    const auto log = ForwardLog();
    const auto call = std::find_if(log.begin(), log.end(),
                                   [](const std::string& l) { return l.rfind("call ", 0) == 0; });
    ASSERT_NE(call, log.end());
    EXPECT_EQ(call->rfind("call FwdProbeA|6|1000|1000|9|", 0), 0u) << *call;
    EXPECT_NE(call->find("by again."), std::string::npos) << *call;
}

TEST_F(ForwardingTest, DiagnosticsTraceEveryStepIntoTheEventLog) {
    RegFile reg = BaseRegistry();
    reg.Key(kAlertingKey).String("Diagnostics", "0");
    reg.Key(kForwardingKey).String("Probe", Module("FwdProbeA.dll"));
    Import(reg);
    EventLibrary library(JoinPath(InstallDir(), "KXEvent.DLL"));
    ASSERT_TRUE(library.loaded()) << library.error();
    auto records = NewRecords();
    ASSERT_EQ(library.Send(1, 1000, *records), EVENT_OK);

    std::vector<std::string> labels;
    for (const auto& entry : ReadEventLog(EventLogPath())) {
        EXPECT_EQ(entry.at("kind"), "2") << entry.at("label");
        EXPECT_EQ(entry.at("source"), "") << entry.at("label");
        labels.push_back(entry.at("label"));
    }
    const std::vector<std::string> expected = {"VelEvent",
                                               "VelEvent Forward",
                                               "LoadForwarding Dll description in reg",
                                               "LoadForwarding Dll name in reg about to load",
                                               "LoadForwarding LoadLibrary Success",
                                               "LoadForwarding GPA special UnloadForwardingCheck",
                                               "ForwardVELMessage calling Forwarding",
                                               "ForwardVELMessage back from Forwarding",
                                               "UnloadForwardingDll"};
    EXPECT_EQ(labels, expected);
}

}  // namespace
}  // namespace kx::wine
