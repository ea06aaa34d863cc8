// main.cpp: the driver's entry. Run plainly it is a GoogleTest program; run as
//   kxwine_test.exe --kxwine-child populate <installation directory> <output file>
// it is a product of its own that loads KXEvent.DLL, populates one set of records and writes
// what it saw as key=value lines, so that tests can observe the library under another
// executable name (the system's per-application settings) or another environment (locale).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "event_library.h"
#include "harness.h"

namespace kx::wine {
namespace {

void WriteVersionFacts(std::FILE* out) {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (::GetVersionExA(&version)) {
        std::fprintf(out, "platform=%lu\nmajor=%lu\nminor=%lu\ncsd=%s\n", version.dwPlatformId,
                     version.dwMajorVersion, version.dwMinorVersion, version.szCSDVersion);
    }
    std::fprintf(out, "thread_locale=%04lx\nuser_locale=%04lx\nsystem_locale=%04lx\n",
                 ::GetThreadLocale() & 0xFFFF, ::GetUserDefaultLCID() & 0xFFFF,
                 ::GetSystemDefaultLCID() & 0xFFFF);
}

int PopulateChild(const std::string& installDir, const std::string& output) {
    std::FILE* out = std::fopen(output.c_str(), "wb");
    if (out == nullptr) return 2;
    WriteVersionFacts(out);
    EventLibrary library(JoinPath(installDir, "KXEvent.DLL"));
    std::fprintf(out, "loaded=%d\nload_error=%lu\n", library.loaded() ? 1 : 0, library.error());
    if (library.loaded()) {
        auto records = NewRecords();
        std::fprintf(out, "result=%d\n", library.Populate(0, "child", *records));
        std::fprintf(out, "os=%s\nlanguage=%s\ndomain=%s\nuser=%s\nsoftware=%s\n",
                     records->detail.szOS, records->detail.szLanguageCode, records->detail.szDomain,
                     records->detail.szUserName, records->message.szSoftwareName);
    }
    std::fclose(out);
    return 0;
}

}  // namespace
}  // namespace kx::wine

int main(int argc, char** argv) {
    if (argc == 5 && std::string_view(argv[1]) == "--kxwine-child" &&
        std::string_view(argv[2]) == "populate") {
        return kx::wine::PopulateChild(argv[3], argv[4]);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
