// spool_test.cpp: the collector's spool on a real Windows directory: ready files lowest first
// within the limit, stale temporaries removed, what is no alert file (garbage, a directory, a
// symbolic link) set aside in bad/ under a free name with its note, a bad/ that everyone may
// write refused, acknowledged files removed or kept without replacing (a keep directory on
// another volume refused), and a held entry kept out of the scan.
#include "collector/spool.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "common/alert_file.h"
#include "harness.h"
// windows.h first
#include <aclapi.h>
#include <winioctl.h>

namespace kx::wine {
namespace {

namespace fs = std::filesystem;
using collect::LoadedAlert;
using collect::Spool;

std::string AlertText() {
    std::string text(kAlertSectionLine);
    for (const AlertKeyName& key : kAlertKeys) {
        char line[kAlertLineSize];
        text.append(line, FormatAlertLine(key.name, key.number, 1, "x", line));
    }
    return text;
}

// Sets the file's last write time `hours` back.
void Age(const std::string& path, int hours) {
    const HANDLE file = ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER time{{now.dwLowDateTime, now.dwHighDateTime}};
    time.QuadPart -= static_cast<ULONGLONG>(hours) * 3600 * 10000000;
    const FILETIME then{time.LowPart, time.HighPart};
    EXPECT_TRUE(::SetFileTime(file, nullptr, nullptr, &then));
    ::CloseHandle(file);
}

bool IsReparsePoint(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A junction at `path` to the directory `target`; false when the system cannot make one.
bool MakeJunction(const std::string& path, const std::string& target) {
    if (!::CreateDirectoryA(path.c_str(), nullptr)) return false;
    const std::wstring name = L"\\??\\" + fs::path(target).wstring();
    struct {
        DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
        WORD dataLength = 0, reserved = 0;
        WORD substituteOffset = 0, substituteLength = 0, printOffset = 0, printLength = 0;
        wchar_t names[MAX_PATH * 2] = {};
    } data;
    name.copy(data.names, MAX_PATH);
    data.substituteLength = static_cast<WORD>(name.size() * sizeof(wchar_t));
    data.printOffset = static_cast<WORD>(data.substituteLength + sizeof(wchar_t));
    data.dataLength = static_cast<WORD>(8 + data.printOffset + sizeof(wchar_t));
    const HANDLE directory =
        ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD returned = 0;
    const bool made = directory != INVALID_HANDLE_VALUE &&
                      ::DeviceIoControl(directory, FSCTL_SET_REPARSE_POINT, &data,
                                        data.dataLength + 8, nullptr, 0, &returned, nullptr);
    if (directory != INVALID_HANDLE_VALUE) ::CloseHandle(directory);
    if (!made) ::RemoveDirectoryA(path.c_str());
    return made;
}

// A symbolic link at `path` to the directory `target`, or else a junction; false when this
// system makes neither (a symbolic link call that succeeds without making one counts as none).
bool MakeLink(const std::string& path, const std::string& target) {
    if (::CreateSymbolicLinkA(
            path.c_str(), target.c_str(),
            SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
        IsReparsePoint(path))
        return true;
    ::RemoveDirectoryA(path.c_str());
    return MakeJunction(path, target) && IsReparsePoint(path);
}

struct Logged {
    std::string lines;
    collect::LogFn fn() {
        return [this](const std::string& line) { lines += line + "\n"; };
    }
};

TEST(WindowsSpool, ListsReadyFilesLowestFirstRemovesStaleTemporariesAndSkipsHeldOnes) {
    const ScratchDir scratch;
    for (const char* name : {"00000003.ALR", "00000001.ALR", "00000002.ALR", "notes.txt"})
        WriteFileBytes(scratch / name, AlertText());
    WriteFileBytes(scratch / "00000009.TMP", "abandoned");
    WriteFileBytes(scratch / "00000010.TMP", "being written");
    Age(scratch / "00000009.TMP", 37);
    Age(scratch / "00000010.TMP", 35);
    Logged log;
    Spool spool(scratch.path(), std::nullopt, log.fn());

    const collect::SpoolScan first = spool.Scan(2);
    EXPECT_EQ(first.names, (std::vector<std::string>{"00000001.ALR", "00000002.ALR"}));
    EXPECT_EQ(first.backlog, 3u);
    EXPECT_EQ(first.staleRemoved, 1u);
    EXPECT_FALSE(FileExists(scratch / "00000009.TMP"));
    EXPECT_TRUE(FileExists(scratch / "00000010.TMP"));
    EXPECT_NE(log.lines.find("an unfinished alert file older than 36 hours"), std::string::npos);

    const LoadedAlert loaded = spool.Load("00000001.ALR");
    EXPECT_EQ(loaded.kind, LoadedAlert::Kind::Alert) << loaded.failure.reason;
    EXPECT_GT(loaded.origin.mtimeSeconds, 1600000000);

    spool.Hold("00000001.ALR", collect::HoldReason::Failed, "held for the test");
    EXPECT_EQ(spool.Scan(2).names, (std::vector<std::string>{"00000002.ALR", "00000003.ALR"}));
    EXPECT_EQ(spool.Held().held, 1u);
}

TEST(WindowsSpool, SetsAsideWhatIsNoAlertFileUnderAFreeNameWithItsNote) {
    const ScratchDir scratch;
    const std::string target = scratch / "target\\file.txt";
    MakeDirectories(scratch / "target");
    WriteFileBytes(target, "the link's target");
    const std::string alerts = scratch / "alerts";
    MakeDirectories(alerts + "\\bad");
    WriteFileBytes(alerts + "\\bad\\00000002.ALR", "set aside earlier");
    const struct {
        const char* name;
        std::function<bool(const std::string&)> plant;  // false: cannot be made here
        const char* reason;                             // the start of the failure
        const char* movedTo;                            // in bad/
    } rows[] = {
        {"00000001.ALR", [](const std::string& p) { return WriteFileBytes(p, "garbage"), true; },
         "", "00000001.ALR"},
        {"00000002.ALR", [](const std::string& p) { return WriteFileBytes(p, "garbage"), true; },
         "", "00000002.ALR.1"},
        {"00000003.ALR", [](const std::string& p) { return MakeDirectories(p), true; },
         "not a regular file", "00000003.ALR"},
        {"00000004.ALR", [&](const std::string& p) { return MakeLink(p, scratch / "target"); },
         "a symbolic link, not an alert file", "00000004.ALR"},
    };
    Logged log;
    Spool spool(alerts, std::nullopt, log.fn());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = alerts + "\\" + row.name;
        if (!row.plant(path)) {
            std::printf(
                "[ SKIPPED  ] %s: neither a symbolic link nor a junction can be made "
                "here (this Wine has no reparse points)\n",
                row.name);
            continue;
        }
        const LoadedAlert loaded = spool.Load(row.name);
        ASSERT_EQ(loaded.kind, LoadedAlert::Kind::Bad) << loaded.error;
        EXPECT_EQ(loaded.failure.reason.rfind(row.reason, 0), 0u) << loaded.failure.reason;
        ASSERT_TRUE(spool.Quarantine(row.name, loaded.failure)) << log.lines;
        const std::string moved = alerts + "\\bad\\" + row.movedTo;
        EXPECT_FALSE(FileExists(path));
        EXPECT_TRUE(FileExists(moved));
        EXPECT_NE(ReadFileBytes(moved + ".why").find(std::string("file: ") + row.name),
                  std::string::npos);
        if (std::string_view(row.reason).starts_with("a symbolic link")) {
            EXPECT_TRUE(IsReparsePoint(moved));
            EXPECT_EQ(ReadFileBytes(target), "the link's target");
        }
    }
    EXPECT_EQ(ReadFileBytes(alerts + "\\bad\\00000002.ALR"), "set aside earlier");
}

TEST(WindowsSpool, LeavesTheEntryInPlaceWhenEveryoneMayWriteBad) {
    const ScratchDir scratch;
    const std::string alerts = scratch / "alerts";
    MakeDirectories(alerts + "\\bad");
    WriteFileBytes(alerts + "\\00000001.ALR", "garbage");
    // Everyone may add files to bad/, beside what it had.
    PACL old = nullptr, acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::string bad = alerts + "\\bad";
    ASSERT_EQ(::GetNamedSecurityInfoA(bad.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, &old, nullptr, &descriptor),
              ERROR_SUCCESS);
    char everyone[] = "EVERYONE";
    EXPLICIT_ACCESSA grant{};
    grant.grfAccessPermissions = FILE_ADD_FILE;
    grant.grfAccessMode = GRANT_ACCESS;
    grant.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    grant.Trustee.ptstrName = everyone;
    ASSERT_EQ(::SetEntriesInAclA(1, &grant, old, &acl), ERROR_SUCCESS);
    ASSERT_EQ(::SetNamedSecurityInfoA(bad.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, acl, nullptr),
              ERROR_SUCCESS);
    ::LocalFree(acl);
    ::LocalFree(descriptor);

    Logged log;
    Spool spool(alerts, std::nullopt, log.fn());
    EXPECT_FALSE(spool.Quarantine("00000001.ALR", {1, "no [CentralAlert] section"}));
    EXPECT_TRUE(FileExists(alerts + "\\00000001.ALR"));
    EXPECT_NE(log.lines.find("bad/ may be written by Everyone"), std::string::npos) << log.lines;
    EXPECT_EQ(spool.Held().held, 1u);
}

TEST(WindowsSpool, FinishRemovesTheFileOrKeepsItWithoutReplacing) {
    const ScratchDir scratch;
    const std::string alerts = scratch / "alerts";
    const std::string kept = scratch / "kept";
    MakeDirectories(alerts);
    MakeDirectories(kept);
    WriteFileBytes(kept + "\\00000001.ALR", "kept earlier");
    const struct {
        bool keep;
        const char* keptAs;  // in kept/; empty: removed
    } rows[] = {{false, ""}, {true, "00000001.ALR.1"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.keptAs);
        WriteFileBytes(alerts + "\\00000001.ALR", AlertText());
        Logged log;
        Spool spool(alerts, row.keep ? std::optional<fs::path>(kept) : std::nullopt, log.fn());
        ASSERT_TRUE(spool.Finish("00000001.ALR")) << log.lines;
        spool.Sync();
        EXPECT_FALSE(FileExists(alerts + "\\00000001.ALR"));
        if (row.keep) {
            EXPECT_EQ(ReadFileBytes(kept + "\\" + row.keptAs), AlertText());
        }
    }
    EXPECT_EQ(ReadFileBytes(kept + "\\00000001.ALR"), "kept earlier");
    EXPECT_EQ(ListFiles(kept, "*").size(), 2u);
    // Wine's drive Z: (the Unix root) is another volume than the scratch directory's C:.
    ASSERT_EQ(alerts.rfind("C:", 0), 0u);
    Logged refused;
    try {
        Spool elsewhere(alerts, fs::path("Z:\\tmp"), refused.fn());
        ADD_FAILURE() << "a keep directory on another volume was taken";
    } catch (const std::system_error& error) {
        ADD_FAILURE() << error.what();
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find(" is not on the file system of "),
                  std::string::npos)
            << error.what();
    }
}

}  // namespace
}  // namespace kx::wine
