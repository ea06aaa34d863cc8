// load_test.cpp: KXEvent.DLL loaded and unloaded by a real host process from an installation
// directory on disk: a good layout, a missing kernel library, a missing resource module.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#define KX_TEST_STANDIN_DIR ""
#include "child_process.h"
#include "layout.h"
#include "robust_support.h"
#include "support.h"

namespace kx {
namespace {

using test::Built;
using test::Place;
using test::TraceLines;
using Lines = std::vector<std::string>;

class LoadTest : public robust::ScratchMachineTest {
  protected:
    void SetUp() override {
        Place(Built("KXEvent.DLL"), install_, "KXEvent.DLL");
        Place(Built("KXKRNL.DLL"), install_, "KXKRNL.DLL");
        Place(Built("KXUTIL.DLL"), install_, "KXUTIL.DLL");
        Place(Built("Res0901/kxUtlRes.dll"), install_, "Res0901/kxUtlRes.dll");
        test::RegFile reg;
        reg.Key("SOFTWARE\\Velmora\\QRD\\Shared Components\\Brisa\\CurrentVersion")
            .String("szInstallDir", install_.string());
        reg.Key(test::kAlertingKey).String("Diagnostics", "1");
        reg.WriteTo(registry_);
    }
    // The host's exit code is -1 when it did not exit normally (a crash, a signal).
    test::ProcessResult RunHost() {
        return test::RunProcess(KX_TEST_LOAD_HOST, {(install_ / "KXEvent.DLL").string()});
    }
    std::string EventLog() const { return test::ReadFile(eventLog_); }

    std::filesystem::path install_ = tmp_ / "install";
    std::filesystem::path trace_ = tmp_ / "trace.txt";
    test::ScopedEnv traceEnv_{"KX_STANDIN_TRACE", trace_.string()};
};

TEST_F(LoadTest, AttachBindsSiblingsAndTakesTheLanguageOfTheModuleThatLoaded) {
    const test::ProcessResult run = RunHost();
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "populate 0 0901 Event Reporter\nunloaded\n");
    EXPECT_NE(EventLog().find(R"("label":"VelEvent","kind":2,"number":0,)"
                              R"("text":"Diagnostics Logging ON")"),
              std::string::npos);
    EXPECT_EQ(run.err, "");
}

TEST_F(LoadTest, UnloadFreesResourceModuleThenUtilityThenKernel) {
    ASSERT_EQ(RunHost().exitCode, 0);
    EXPECT_EQ(TraceLines(trace_),
              (Lines{"KXKRNL attach", "KXUTIL attach", "free KXEvent.DLL", "free kxUtlRes.dll",
                     "free KXUTIL.DLL", "KXUTIL detach", "free KXKRNL.DLL", "KXKRNL detach"}));
}

TEST_F(LoadTest, MissingKernelLibraryRefusesTheLoadWithoutWarning) {
    std::filesystem::remove(install_ / "KXKRNL.DLL");
    const test::ProcessResult run = RunHost();
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.out.rfind("refused ", 0), 0u) << run.out;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(EventLog(), "");
}

TEST_F(LoadTest, MissingResourceModuleWarnsWithEveryTriedPathAndRefuses) {
    std::filesystem::remove_all(install_ / "Res0901");
    const test::ProcessResult run = RunHost();
    EXPECT_EQ(run.exitCode, 3);
    const std::string& err = run.err;
    EXPECT_EQ(err.rfind("KXUtil.dll : Error loading resource DLL (kxUtlRes.dll)\n", 0), 0u) << err;
    const std::string base = install_.string() + "\\";
    std::size_t at = 0;
    for (const char* dir : {"Res0901", "Res0000", "Res0001", "Res0901"}) {
        const std::string entry = base + dir + "\\kxUtlRes.dll   : ";
        const std::size_t found = err.find(entry, at);
        ASSERT_NE(found, std::string::npos) << dir << " in " << err;
        at = found + entry.size();
    }
    EXPECT_EQ(TraceLines(trace_), (Lines{"KXKRNL attach", "KXUTIL attach", "free KXUTIL.DLL",
                                         "KXUTIL detach", "free KXKRNL.DLL", "KXKRNL detach"}));
}

}  // namespace
}  // namespace kx
