// delivery_fixture.h: what the delivery tests share: a scratch registry file, the kernel and
// utility operations bound to doubles that work on real files and record the event log.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support.h"

namespace kx::test {

struct LoggedEntry {
    std::optional<std::string> source;
    std::string label;
    std::uint32_t kind;
    std::uint32_t number;
    std::string text;
};

// Every entry the utility double received, in order.
std::vector<LoggedEntry>& LoggedEntries();

// A scratch directory holding the registry file that VEL_REGISTRY names; sibling doubles that
// create, write, close and delete real files through the platform (as the kernel library does)
// and record event-log entries; diagnostics off. Everything is put back afterwards.
class DeliveryTest : public ::testing::Test {
  protected:
    DeliveryTest();
    ~DeliveryTest() override;

    void WriteRegistry(const RegFile& reg) const { reg.WriteTo(registry_); }

    TempDir scratch_;
    std::filesystem::path registry_;

  private:
    ScopedEnv registryEnv_;
};

}  // namespace kx::test
