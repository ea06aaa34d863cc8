// delivery_fixture.cpp: sibling doubles and the scratch registry of the delivery tests.
#include "delivery_fixture.h"

#include "platform/testing.h"
#include "runtime/siblings.h"
#include "runtime/state.h"
#include "sibling_doubles.h"

namespace kx::test {

namespace {

std::uint32_t KX_API LogDouble(std::uint32_t, const char* source, const char* label,
                               std::uint32_t kind, std::uint32_t number, const char* text) {
    LoggedEntries().push_back({source ? std::optional<std::string>(source) : std::nullopt,
                               label ? label : "<null>", kind, number, text ? text : "<null>"});
    return 0;
}

}  // namespace

std::vector<LoggedEntry>& LoggedEntries() {
    static std::vector<LoggedEntry> entries;
    return entries;
}

DeliveryTest::DeliveryTest()
    : registry_(scratch_ / "hklm.reg"), registryEnv_("VEL_REGISTRY", registry_.string()) {
    LoggedEntries().clear();
    InstallFileDoubles();
    Siblings().AddMessageToEventLog = LogDouble;
    DiagnosticsEnabled = false;
    WriteFile(registry_, "REGEDIT4\r\n");
}

DeliveryTest::~DeliveryTest() {
    plat::testing::RestoreAllHooks();
    Siblings() = SiblingEntries{};
    DiagnosticsEnabled = false;
    LoggedEntries().clear();
}

}  // namespace kx::test
