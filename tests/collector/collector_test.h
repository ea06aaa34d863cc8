// collector_test.h: where the collector's tests against a real rsyslogd start: a scratch
// directory holding an empty alerting directory, or a skip where rsyslogd is missing.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support.h"

namespace kx::test {

class CollectorTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::filesystem::path alerts = dir / "alerts";

    void SetUp() override {
        if (::access("/usr/sbin/rsyslogd", X_OK) != 0) GTEST_SKIP() << "rsyslogd is missing";
        std::filesystem::create_directories(alerts);
    }
};

}  // namespace kx::test
