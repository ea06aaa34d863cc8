// hostile_spool_test.cpp: kxevent collect on an alerting directory that a member of its group, or
// another user, made hostile: entries that cannot be set aside, a bad/ that is not the
// collector's, FIFOs where the collector creates files, files that cannot be retired, alerts it
// may not read, names and messages with line breaks. The collector runs as a user of its own
// (not root, which no permission would stop), against the real rsyslogd: it must neither stall
// nor flood nor resend in a loop, must say so in its exit status and gauges, and must still
// deliver the real alerts.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "relp_receiver.h"
#include "support.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

// The collector's user and the hostile member of its group; neither has a passwd entry.
constexpr uid_t kCollectorUid = 64101;
constexpr uid_t kAttackerUid = 64102;
constexpr gid_t kGroup = 64100;  // stands for the group kxevent
constexpr uid_t kOutsider = 65534;

// Forks kxevent as the collector's user under the unit's umask, its standard error into `log`.
pid_t StartCollector(const std::vector<std::string>& args, const fs::path& log) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::umask(027);
        const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (err < 0 || ::dup2(err, STDERR_FILENO) < 0 || ::fchown(err, kCollectorUid, kGroup) != 0)
            ::_exit(126);
        if (::setgroups(0, nullptr) != 0 || ::setgid(kGroup) != 0 || ::setuid(kCollectorUid) != 0)
            ::_exit(126);
        std::vector<char*> argv{const_cast<char*>(kKxevent.c_str())};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(kKxevent.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

// Waits for `pid` until the deadline, then kills it: a collector blocked for ever fails the
// test instead of hanging it. The exit status, or -1 when it had to be killed.
int Reap(pid_t pid, int deadlineSeconds = 90) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(deadlineSeconds);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::poll(nullptr, 0, 20);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::size_t CountLines(const std::string& log, const std::string& part) {
    std::size_t count = 0;
    for (const std::string& line : Lines(log)) count += line.find(part) != std::string::npos;
    return count;
}

// The value of one metric in a Prometheus text file; -1 when it is not there.
long Metric(const std::string& text, const std::string& name) {
    const auto at = text.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::stol(text.substr(at + name.size() + 2));
}

// Waits (a generous deadline) until the metrics file shows `value` for `name`.
bool WaitForMetric(const fs::path& file, const std::string& name, long value) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!(fs::exists(file) && Metric(ReadFile(file), name) == value)) {
        if (std::chrono::steady_clock::now() > until) return false;
        ::poll(nullptr, 0, 50);
    }
    return true;
}

// Whether a user outside the collector's group can read `file` and cannot create a file in
// `spool`.
bool OutsiderReadsButCannotWriteSpool(const fs::path& file, const fs::path& spool) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kOutsider) != 0 || ::setuid(kOutsider) != 0)
            ::_exit(126);
        char byte;
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::read(fd, &byte, 1) != 1) ::_exit(1);
        const int spoolFile = ::open((spool / "x.ALR").c_str(), O_WRONLY | O_CREAT, 0600);
        ::_exit(spoolFile < 0 ? 0 : 2);
    }
    return Reap(pid) == 0;
}

void Own(const fs::path& path, uid_t uid, mode_t mode) {
    ASSERT_EQ(::lchown(path.c_str(), uid, kGroup), 0) << path;
    if (!fs::is_symlink(fs::symlink_status(path))) {
        ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
    }
}

// One hostile spool: what the attacker plants, and how many entries must be left in place.
struct Row {
    const char* attack;
    std::function<std::size_t(const fs::path&)> plant;  // gives the entries left in place
};

class HostileSpool : public ::testing::Test {
  protected:
    TempDir dir;

    void SetUp() override {
        if (::access("/usr/sbin/rsyslogd", X_OK) != 0) GTEST_SKIP() << "rsyslogd is missing";
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as three users";
        ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
        fs::create_directory(dir / "metrics");
        Own(dir / "metrics", kCollectorUid, 0755);
    }

    // An alerting directory as the package makes it: root, the group, 2770.
    fs::path MakeSpool(const std::string& name, mode_t mode = 02770) const {
        const fs::path spool = dir / name;
        fs::create_directories(spool);
        Own(spool, 0, mode);
        return spool;
    }

    // A real alert, written as the products write it (root, group-readable).
    static void DropAlert(const fs::path& spool, const std::string& name, const std::string& virus,
                          const std::string& message = "found") {
        WriteFile(spool / name, SampleAlert(virus, message));
        Own(spool / name, 0, 0640);
    }

    struct Result {
        int exitCode;
        std::string log;
        std::string metrics;
    };

    Result Collect(const fs::path& spool, const std::string& url,
                   std::vector<std::string> extra = {}) const {
        const fs::path log = dir / "collect.log", metrics = dir / "metrics" / "collect.prom";
        std::vector<std::string> args{"collect", "--dir",     spool.string(),   "--to",
                                      url,       "--metrics", metrics.string(), "--once"};
        args.insert(args.end(), extra.begin(), extra.end());
        fs::remove(metrics);
        const int code = Reap(StartCollector(args, log));
        return {code, ReadFile(log), fs::exists(metrics) ? ReadFile(metrics) : std::string()};
    }

    void ExpectLeftInPlaceOnce(const std::vector<Row>& rows);

    static std::string VirusOf(const std::string& line) {
        return ParseReceived(line).params.at("szVirusName");
    }
};

// Each row's entries are kept from bad/; the real alerts beside them must still go out.
void HostileSpool::ExpectLeftInPlaceOnce(const std::vector<Row>& rows) {
    RelpReceiver receiver(dir / "rsyslog");
    ASSERT_TRUE(receiver.ready());
    for (std::size_t row = 0; row < rows.size(); ++row) {
        SCOPED_TRACE(rows[row].attack);
        const fs::path spool = MakeSpool("spool" + std::to_string(row));
        const std::size_t planted = rows[row].plant(spool);
        DropAlert(spool, "00000001.ALR", "real" + std::to_string(row));
        DropAlert(spool, "00000009.ALR", "last" + std::to_string(row));

        const Result result = Collect(spool, receiver.url());
        EXPECT_EQ(result.exitCode, 1) << result.log.substr(0, 2000);
        // One line per entry, not one per scan.
        EXPECT_EQ(CountLines(result.log, " in place: "), planted);
        EXPECT_EQ(CountReady(spool), planted);
        EXPECT_EQ(Metric(result.metrics, "kxevent_collect_held"), static_cast<long>(planted));
        EXPECT_EQ(Metric(result.metrics, "kxevent_collect_backlog"), static_cast<long>(planted));
        EXPECT_EQ(Metric(result.metrics, "kxevent_collect_quarantined_total"), 0);
        EXPECT_EQ(Metric(result.metrics, "kxevent_collect_acknowledged_total"), 2);
        const auto lines = receiver.WaitForLines(2 * (row + 1));
        ASSERT_EQ(lines.size(), 2 * (row + 1));
        EXPECT_EQ(VirusOf(lines[2 * row]), "real" + std::to_string(row));
        EXPECT_EQ(VirusOf(lines[2 * row + 1]), "last" + std::to_string(row));
    }
}

TEST_F(HostileSpool, MoreEntriesThanAScanHoldsThatCannotBeSetAsideDoNotHideTheRealAlert) {
    // Directories of another owner, more than one scan holds, all numbered before the alert.
    ExpectLeftInPlaceOnce({{"directories of another owner", [](const fs::path& spool) {
                                for (int i = 1; i <= 20001; ++i) {
                                    const fs::path entry =
                                        spool / ("-" + std::to_string(i) + ".ALR");
                                    fs::create_directory(entry);
                                    Own(entry, kAttackerUid, 0755);
                                }
                                return std::size_t{20001};
                            }}});
}

TEST_F(HostileSpool, ABadThatIsNotTheCollectorsOwnIsRefusedAndEachEntryLoggedOnce) {
    const fs::path elsewhere = dir / "elsewhere";
    fs::create_directories(elsewhere);
    ASSERT_EQ(::chmod(elsewhere.c_str(), 0777), 0);
    // Garbage that is not an alert file, dropped by the attacker; each row keeps it from bad/.
    const auto garbage = [](const fs::path& spool) {
        for (const char* name : {"00000002.ALR", "00000003.ALR", "00000004.ALR"}) {
            WriteFile(spool / name, "not an alert");
            Own(spool / name, kAttackerUid, 0640);
        }
        return std::size_t{3};
    };
    const std::vector<Row> rows = {
        {"a file named bad",
         [&](const fs::path& spool) {
             WriteFile(spool / "bad", "");
             Own(spool / "bad", kAttackerUid, 0660);
             return garbage(spool);
         }},
        {"a link named bad",
         [&](const fs::path& spool) {
             fs::create_directory_symlink(elsewhere, spool / "bad");
             Own(spool / "bad", kAttackerUid, 0);
             return garbage(spool);
         }},
        {"a bad/ of another owner",
         [&](const fs::path& spool) {
             fs::create_directory(spool / "bad");
             Own(spool / "bad", kAttackerUid, 0770);
             return garbage(spool);
         }},
    };
    ExpectLeftInPlaceOnce(rows);
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_NE(ReadFile(dir / "collect.log").find("belongs to uid 64102"), std::string::npos);
}

TEST_F(HostileSpool, FifosWhereTheCollectorCreatesFilesNeitherBlockNorGetUsed) {
    RelpReceiver receiver(dir / "rsyslog");
    ASSERT_TRUE(receiver.ready());
    const fs::path spool = MakeSpool("alerts");
    fs::create_directory(spool / "bad");
    Own(spool / "bad", kCollectorUid, 0750);
    // FIFOs the collector could open for writing, which would block it for ever.
    ASSERT_EQ(::mkfifo((spool / "bad" / "00000002.ALR.why").c_str(), 0600), 0);
    Own(spool / "bad" / "00000002.ALR.why", kCollectorUid, 0600);
    const fs::path metricsDir = dir / "textfile";
    fs::create_directory(metricsDir);
    Own(metricsDir, kCollectorUid, 0755);
    ASSERT_EQ(::mkfifo((metricsDir / "kx.prom.tmp").c_str(), 0600), 0);
    Own(metricsDir / "kx.prom.tmp", kCollectorUid, 0600);
    DropAlert(spool, "00000001.ALR", "real");
    WriteFile(spool / "00000002.ALR", "not an alert");

    const fs::path metrics = metricsDir / "kx.prom";
    const Result result = Collect(spool, receiver.url(), {"--metrics", metrics.string()});
    ASSERT_EQ(result.exitCode, 0) << result.log;  // -1: blocked on a FIFO and killed
    EXPECT_TRUE(fs::is_fifo(spool / "bad" / "00000002.ALR.why"));
    EXPECT_NE(ReadFile(spool / "bad" / "00000002.ALR.1.why").find("file: 00000002.ALR\n"),
              std::string::npos);
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(metrics)));
    EXPECT_EQ(Metric(ReadFile(metrics), "kxevent_collect_quarantined_total"), 1);
    EXPECT_EQ(fs::status(metrics).permissions() & fs::perms::others_read, fs::perms::others_read);
    // node_exporter's user reads it without the group that may write the alerting directory.
    EXPECT_TRUE(OutsiderReadsButCannotWriteSpool(metrics, spool));
    ASSERT_EQ(receiver.WaitForLines(1).size(), 1u);
}

TEST_F(HostileSpool, AcknowledgedFilesThatCannotBeRetiredAreNotSentAgain) {
    RelpReceiver receiver(dir / "rsyslog");
    ASSERT_TRUE(receiver.ready());
    struct Row {
        const char* attack;
        mode_t spoolMode;
        bool keep;
        const char* reason;
    };
    const Row rows[] = {
        {"sticky spool, a file of another owner", 03770, false, "cannot remove"},
        {"--keep with .1 to .999 taken", 02770, true, "to the keep directory"},
    };
    std::size_t sent = 0;
    for (std::size_t row = 0; row < std::size(rows); ++row) {
        SCOPED_TRACE(rows[row].attack);
        const fs::path spool = MakeSpool("spool" + std::to_string(row), rows[row].spoolMode);
        DropAlert(spool, "00000001.ALR", "stuck" + std::to_string(row));
        std::vector<std::string> extra;
        if (rows[row].keep) {
            const fs::path keep = dir / ("keep" + std::to_string(row));
            fs::create_directory(keep);
            WriteFile(keep / "00000001.ALR", "");
            for (int i = 1; i <= 999; ++i)
                WriteFile(keep / ("00000001.ALR." + std::to_string(i)), "");
            Own(keep, kCollectorUid, 0700);
            extra = {"--keep", keep.string()};
        } else {
            Own(spool / "00000001.ALR", kAttackerUid, 0640);
        }
        // Once: sent once, the file stays, one line, exit 1.
        const Result once = Collect(spool, receiver.url(), extra);
        EXPECT_EQ(once.exitCode, 1) << once.log;
        EXPECT_EQ(CountLines(once.log, rows[row].reason), 1u) << once.log;
        ++sent;
        EXPECT_EQ(receiver.WaitForLines(sent).size(), sent);
        EXPECT_EQ(Metric(once.metrics, "kxevent_collect_held"), 1);
        // Watching: one more sending (a new process), then nothing while it keeps running.
        const fs::path metrics = dir / "metrics" / "watch.prom";
        fs::remove(metrics);
        std::vector<std::string> args{"collect",      "--dir",     spool.string(),  "--to",
                                      receiver.url(), "--metrics", metrics.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        const pid_t watcher = StartCollector(args, dir / "watch.log");
        // The gauge is written when the drain ended; a collector resending in a loop never
        // gets there.
        EXPECT_TRUE(WaitForMetric(metrics, "kxevent_collect_held", 1));
        ++sent;
        EXPECT_EQ(receiver.WaitForLines(sent + 1, 2).size(), sent);
        // Another file under the held name (a new inode: both exist for a moment) is a new
        // alert, sent and then held in its turn.
        DropAlert(spool, "new.TMP", "new" + std::to_string(row));
        fs::rename(spool / "new.TMP", spool / "00000001.ALR");
        const auto lines = receiver.WaitForLines(++sent);
        EXPECT_EQ(lines.size(), sent);
        if (!lines.empty()) {
            EXPECT_EQ(VirusOf(lines.back()), "new" + std::to_string(row));
        }
        EXPECT_TRUE(WaitForMetric(metrics, "kxevent_collect_acknowledged_total", 2));
        ::kill(watcher, SIGTERM);
        EXPECT_EQ(Reap(watcher), 0);
        EXPECT_EQ(CountLines(ReadFile(dir / "watch.log"), rows[row].reason), 2u);
        EXPECT_EQ(CountReady(spool), 1u);
    }
}

TEST_F(HostileSpool, AlertTheCollectorMayNotReadStaysAndLineBreaksForgeNoLogLines) {
    RelpReceiver receiver(dir / "rsyslog");
    ASSERT_TRUE(receiver.ready());
    const fs::path spool = MakeSpool("alerts");
    DropAlert(spool, "00000001.ALR", "real", "first\r\nkxevent: forged line");
    DropAlert(spool, "00000002.ALR", "private");
    Own(spool / "00000002.ALR", kAttackerUid, 0600);
    const std::string temporary = "00000003\nkxevent collect: forged.TMP";
    WriteFile(spool / temporary, "");
    fs::last_write_time(spool / temporary,
                        fs::file_time_type::clock::now() - std::chrono::hours(37));

    const Result result = Collect(spool, receiver.url());
    EXPECT_EQ(result.exitCode, 1) << result.log;
    EXPECT_EQ(CountLines(result.log, "cannot read"), 1u) << result.log;
    EXPECT_TRUE(fs::exists(spool / "00000002.ALR"));
    EXPECT_FALSE(fs::exists(spool / "bad"));
    EXPECT_EQ(Metric(result.metrics, "kxevent_collect_unreadable"), 1);
    EXPECT_EQ(Metric(result.metrics, "kxevent_collect_held"), 1);
    EXPECT_FALSE(fs::exists(spool / temporary));
    EXPECT_EQ(CountLines(result.log, "kxevent collect: removed "), 1u);
    for (const std::string& line : Lines(result.log))
        EXPECT_NE(line.find("kxevent collect: forged"), 0u) << result.log;
    EXPECT_NE(result.log.find("00000003\\nkxevent collect: forged.TMP"), std::string::npos);
    const auto lines = receiver.WaitForLines(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(ParseReceived(lines[0]).msg, "first\\r\\nkxevent: forged line");
}

TEST_F(HostileSpool, StateDirectoryOfAnotherUserIsRefused) {
    const fs::path spool = MakeSpool("alerts");
    const fs::path state = dir / "state";
    fs::create_directory(state);
    Own(state, kAttackerUid, 0700);
    const Result result = Collect(spool, "relp://127.0.0.1:1", {"--state", state.string()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.log.find("belongs to uid 64102, not to the collector's user"),
              std::string::npos)
        << result.log;
    EXPECT_FALSE(fs::exists(state / "collect.lock"));
}

}  // namespace
}  // namespace kx::test
