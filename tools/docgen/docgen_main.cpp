// docgen_main.cpp: kxevent-docgen, run by the build: writes the manual pages and the bash
// completion of kxevent from the same table of verbs the command itself runs on.
//
//   kxevent-docgen page SOURCE OUTPUT VERSION   SOURCE named NAME.SECTION.md (docs/man/)
//   kxevent-docgen completion SCRIPT OUTPUT
//
// A source line "@SECTION FILE TITLE@" stands for the section "### TITLE" of the Markdown file
// FILE (relative to the source), up to its next heading: text that a page and a document share
// is written once.
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/admin/errors.h"
#include "tools/admin/registry_files.h"
#include "tools/docgen/manual.h"
#include "tools/kxevent/commands.h"

namespace {

namespace fs = std::filesystem;
using namespace kx::tool;

constexpr std::string_view kSectionMarker = "@SECTION ";

// The lines of `text` with every "@SECTION FILE TITLE@" line replaced by that section, its
// bullets' continuation lines unindented and its links "[text](target)" reduced to their text.
std::string ExpandSections(const std::string& text, const fs::path& directory) {
    std::string out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with(kSectionMarker) || !line.ends_with("@")) {
            out += line + "\n";
            continue;
        }
        const std::string marker =
            line.substr(kSectionMarker.size(), line.size() - kSectionMarker.size() - 1);
        const std::size_t space = marker.find(' ');
        if (space == std::string::npos) throw UsageError(line + ": expected @SECTION FILE TITLE@");
        const fs::path file = directory / marker.substr(0, space);
        const std::string heading = "### " + marker.substr(space + 1);
        std::istringstream document(ReadWholeFile(file));
        bool inside = false, found = false;
        for (std::string source; std::getline(document, source);) {
            if (source.starts_with("#")) {
                inside = source == heading;
                found = found || inside;
                continue;
            }
            if (!inside) continue;
            if (source.starts_with("  ") && !source.starts_with("    "))
                source.erase(0, source.find_first_not_of(' '));
            for (std::size_t open = source.find('['); open != std::string::npos;
                 open = source.find('[', open + 1)) {
                const std::size_t close = source.find("](", open);
                const std::size_t end =
                    close == std::string::npos ? close : source.find(')', close);
                if (end == std::string::npos || source.find('`', open) < close) continue;
                source = source.substr(0, open) + source.substr(open + 1, close - open - 1) +
                         source.substr(end + 1);
            }
            out += source + "\n";
        }
        if (!found) throw RuntimeError(file.string() + " has no section \"" + heading + "\"");
    }
    return out;
}

int Run(const std::vector<std::string>& args) {
    if (args.size() == 4 && args[0] == "page") {
        // "kxevent.reg.5.md": the page kxevent.reg in section 5.
        const std::string stem = fs::path(args[1]).stem().string();
        const std::size_t dot = stem.rfind('.');
        if (dot == std::string::npos || dot == 0) {
            throw UsageError(args[1] + " is not named NAME.SECTION.md");
        }
        const std::string source =
            ExpandSections(ReadWholeFile(args[1]), fs::path(args[1]).parent_path());
        SaveTextAtomically(args[2], manual::RenderPage(source, stem.substr(0, dot),
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
