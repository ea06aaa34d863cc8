// docgen_main.cpp: kxevent-docgen, run by the build: writes the manual pages and the bash
// completion of kxevent from the same table of verbs the command itself runs on.
//
//   kxevent-docgen page SOURCE OUTPUT VERSION   SOURCE named NAME.SECTION.md (docs/man/)
//   kxevent-docgen completion SCRIPT OUTPUT
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "tools/admin/errors.h"
#include "tools/admin/registry_files.h"
#include "tools/docgen/manual.h"
#include "tools/kxevent/commands.h"

namespace {

namespace fs = std::filesystem;
using namespace kx::tool;

int Run(const std::vector<std::string>& args) {
    if (args.size() == 4 && args[0] == "page") {
        // "kxevent.reg.5.md": the page kxevent.reg in section 5.
        const std::string stem = fs::path(args[1]).stem().string();
        const std::size_t dot = stem.rfind('.');
        if (dot == std::string::npos || dot == 0) {
            throw UsageError(args[1] + " is not named NAME.SECTION.md");
        }
        SaveTextAtomically(args[2], manual::RenderPage(ReadWholeFile(args[1]), stem.substr(0, dot),
                                                       stem.substr(dot + 1), args[3], Commands()));
        return kExitOk;
    }
    if (args.size() == 3 && args[0] == "completion") {
        SaveTextAtomically(args[2], manual::RenderCompletion(ReadWholeFile(args[1]), Commands()));
        return kExitOk;
    }
    throw UsageError("usage: kxevent-docgen page SOURCE OUTPUT VERSION | completion SCRIPT OUTPUT");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        std::cerr << "kxevent-docgen: " << error.what() << "\n";
        return kExitUsage;
    } catch (const std::exception& error) {
        std::cerr << "kxevent-docgen: " << error.what() << "\n";
        return kExitFailure;
    }
}
