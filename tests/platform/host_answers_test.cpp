// host_answers_test.cpp: the resolver's answer kept while its files are unchanged and young.
#include "platform/posix/host_answers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>

#include "platform/platform.h"
#include "support.h"

namespace {

namespace plat = kx::plat;
using kx::test::TempDir;
using kx::test::WriteFile;
using plat::backend::HostAddress;
using plat::backend::HostAnswers;
using namespace std::chrono_literals;

constexpr HostAddress kAddress = {192, 0, 2, 7};

class HostAnswersTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::filesystem::path hosts = dir / "hosts";
    std::filesystem::path resolver = dir / "resolv.conf";
    HostAnswers answers{{hosts.string(), resolver.string()}, 5s};
    HostAnswers::Clock::time_point start = HostAnswers::Clock::now();

    void SetUp() override {
        WriteFile(hosts, "192.0.2.7 box\n");
        WriteFile(resolver, "nameserver 192.0.2.53\n");
    }
};

TEST_F(HostAnswersTest, AKeptAnswerIsGivenAgainWhileTheFilesAreUnchanged) {
    EXPECT_FALSE(answers.Find("BOX", answers.Stamps(), start).has_value());
    answers.Keep("BOX", kAddress, answers.Stamps(), start);
    const std::optional<HostAddress> found = answers.Find("BOX", answers.Stamps(), start + 4s);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(*found, kAddress);
}

TEST_F(HostAnswersTest, AnAnswerAsOldAsItsLifetimeIsAskedForAgain) {
    answers.Keep("BOX", kAddress, answers.Stamps(), start);
    EXPECT_FALSE(answers.Find("BOX", answers.Stamps(), start + 5s).has_value());
}

TEST_F(HostAnswersTest, AnotherNameIsNotAnswered) {
    answers.Keep("BOX", kAddress, answers.Stamps(), start);
    EXPECT_FALSE(answers.Find("OTHER", answers.Stamps(), start).has_value());
    EXPECT_FALSE(answers.Find("box", answers.Stamps(), start).has_value());
}

TEST_F(HostAnswersTest, AChangedResolverFileDropsTheAnswer) {
    answers.Keep("BOX", kAddress, answers.Stamps(), start);
    WriteFile(hosts, "192.0.2.99 box\n");
    EXPECT_FALSE(answers.Find("BOX", answers.Stamps(), start).has_value());
}

TEST_F(HostAnswersTest, AResolverFileAppearingOrVanishingDropsTheAnswer) {
    std::filesystem::remove(resolver);
    answers.Keep("BOX", kAddress, answers.Stamps(), start);
    WriteFile(resolver, "nameserver 192.0.2.53\n");
    EXPECT_FALSE(answers.Find("BOX", answers.Stamps(), start).has_value());
    answers.Keep("BOX", kAddress, answers.Stamps(), start);
    std::filesystem::remove(hosts);
    EXPECT_FALSE(answers.Find("BOX", answers.Stamps(), start).has_value());
}

TEST_F(HostAnswersTest, AFileChangedDuringTheLookUpIsNoticedByTheNextFind) {
    const std::vector<plat::backend::FileStamp> before = answers.Stamps();
    WriteFile(hosts, "192.0.2.99 box\n");  // while the resolver was being asked
    answers.Keep("BOX", kAddress, before, start);
    EXPECT_FALSE(answers.Find("BOX", answers.Stamps(), start).has_value());
}

TEST(HostByName, TheSameNameGivesTheSameAddressTwice) {
    std::uint8_t first[4] = {}, second[4] = {};
    ASSERT_TRUE(plat::GetHostByName("localhost", first));
    ASSERT_TRUE(plat::GetHostByName("localhost", second));
    EXPECT_EQ(first[0], 127);
    EXPECT_EQ(std::memcmp(first, second, 4), 0);
}

TEST(HostByName, AnUnknownNameFailsEveryTime) {
    std::uint8_t address[4] = {};
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(plat::GetHostByName("no-such-host.invalid", address));
        EXPECT_EQ(plat::GetLastError(), 11001u);
    }
}

}  // namespace
