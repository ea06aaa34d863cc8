// registry_edit_test.cpp: what "kxevent reg" makes of key paths, names and values given on the
// command line, and how an imported file and its deletions change a registry document.
#include "tools/admin/registry_edit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "tools/admin/errors.h"
#include "tools/admin/registry_files.h"

namespace kx::tool {
namespace {

// What `run` returns, or the text of the UsageError it throws.
template <typename Run>
std::string OutcomeOf(Run run) {
    try {
        return run();
    } catch (const UsageError& error) {
        return std::string("refused: ") + error.what();
    }
}

TEST(RegistryEdit, KeyPathsLoseTheirRootOrAreRefusedSayingWhy) {
    const struct {
        const char* given;
        RootUse root;
        const char* outcome;
    } cases[] = {
        {"HKLM\\Software\\X", RootUse::kRefused, "Software\\X"},
        {"hkey_local_machine\\Software\\\\", RootUse::kRefused, "Software"},
        {"Software\\HKLM", RootUse::kRefused, "Software\\HKLM"},
        {"HKLM\\", RootUse::kAllowed, ""},
        {"HKLM", RootUse::kRefused, "refused: a key path below HKEY_LOCAL_MACHINE is needed"},
        {"HKCU\\Software", RootUse::kAllowed,
         "refused: key outside HKEY_LOCAL_MACHINE: HKCU\\Software; the registry file holds "
         "HKEY_LOCAL_MACHINE (HKLM) only"},
        {"HKEY_USERS\\S-1", RootUse::kRefused,
         "refused: key outside HKEY_LOCAL_MACHINE: HKEY_USERS\\S-1; the registry file holds "
         "HKEY_LOCAL_MACHINE (HKLM) only"},
        {"A\tB", RootUse::kRefused,
         "refused: the key path holds a tab at character 2; control characters are not allowed"},
        {"AB\n[HKLM]", RootUse::kRefused,
         "refused: the key path holds a line feed (LF) at character 3; control characters are "
         "not allowed"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OutcomeOf([&] { return NormalizeKeyPath(c.given, c.root); }), c.outcome)
            << c.given;
    }
    EXPECT_EQ(ValueNameArgument("@"), "");
    EXPECT_EQ(OutcomeOf([] { return ValueNameArgument("a\rb"); }),
              "refused: the value name holds a carriage return (CR) at character 2; control "
              "characters are not allowed");
}

TEST(RegistryEdit, ValuesAreMadeOfTheirTypeAndShownAsQueryShowsThem) {
    const struct {
        const char* type;  // null: none given
        const char* data;
        const char* outcome;  // "TYPE\tshown", or the refusal
    } cases[] = {
        {nullptr, "text", "REG_SZ\ttext"},
        {"expand_sz", "%WINDIR%\\x", "REG_EXPAND_SZ\t%WINDIR%\\x"},
        {"dword", "0x10", "REG_DWORD\t0x00000010 (16)"},
        {"dword", "4294967295", "REG_DWORD\t0xffffffff (4294967295)"},
        {"binary", "01,02,ff", "REG_BINARY\t01,02,ff"},
        {"binary", "0A 0b", "REG_BINARY\t0a,0b"},
        {"binary", "", "REG_BINARY\t"},
        {"dword", "ten", "refused: dword value: 'ten' is not a number"},
        {"binary", "0g", "refused: binary value: '0g' is not hex bytes"},
        {"binary", "012", "refused: binary value: an odd number of hex digits"},
        {"qword", "1", "refused: --type must be sz, expand_sz, dword or binary, not 'qword'"},
    };
    for (const auto& c : cases) {
        const auto type = c.type ? std::optional<std::string>(c.type) : std::nullopt;
        EXPECT_EQ(OutcomeOf([&] {
                      const reg::Value value = MakeValue("@", c.data, type);
                      EXPECT_EQ(value.name, "");
                      return std::string(TypeName(value.type)) + "\t" + ShowData(value);
                  }),
                  c.outcome)
            << c.data;
    }
    // Data the command did not write: a dword of the wrong size is bytes, an odd type unnamed.
    EXPECT_EQ(ShowData({"", plat::kRegDword, {1, 2, 3}}), "01,02,03");
    EXPECT_STREQ(TypeName(99), "REG_UNKNOWN");
}

reg::Document Document(std::string_view text, std::vector<reg::Deletion>* deletions = nullptr) {
    return ParseRegistryText(text, "import.reg", deletions);
}

TEST(RegistryEdit, KeysBelowAreFoundByWholeNamesInAnyCase) {
    reg::Document document = Document(
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\\b\\x]\n[HKEY_LOCAL_MACHINE\\A\\B\\y]\n"
        "[HKEY_LOCAL_MACHINE\\a\\Z]\n[HKEY_LOCAL_MACHINE\\A\\c]\n[HKEY_LOCAL_MACHINE\\AB]\n");
    EXPECT_EQ(ChildKeys(document, "A"), (std::vector<std::string>{"b", "c", "Z"}));
    EXPECT_EQ(ChildKeys(document, ""), (std::vector<std::string>{"A", "AB"}));
    EXPECT_FALSE(RemoveValue(document, "A\\c", "missing"));
    EXPECT_EQ(RemoveKey(document, "a\\B"), 2u);
    EXPECT_EQ(KeepOnlyKey(document, "A"), 2u);  // a\Z and A\c; AB is no key below A
    EXPECT_EQ(RemoveKey(document, "Q"), 0u);
}

// The deletions of a file go first, so what its own lines set again stays set.
TEST(RegistryEdit, ImportCarriesOutTheDeletionsThenMergesSayingWhatEachRemoved) {
    reg::Document document = Document(
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"1\"\n\"y\"=\"2\"\n"
        "[HKEY_LOCAL_MACHINE\\A\\B]\n\"old\"=\"3\"\n[HKEY_LOCAL_MACHINE\\A\\B\\C]\n"
        "[HKEY_LOCAL_MACHINE\\D]\n\"v\"=\"4\"\n");
    std::vector<reg::Deletion> deletions;
    const reg::Document incoming = Document(
        "REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\A\\B]\n[-HKEY_LOCAL_MACHINE\\Q]\n"
        "[HKEY_LOCAL_MACHINE\\A]\n\"X\"=-\n[HKEY_LOCAL_MACHINE\\D]\n@=-\n\"v\"=dword:00000005\n"
        "[HKEY_LOCAL_MACHINE\\a\\b]\n\"new\"=\"6\"\n",
        &deletions);
    CheckImport(incoming, deletions, "import.reg");
    const ImportSummary summary = MergeImport(document, incoming, deletions);
    EXPECT_EQ(summary.removals, (std::vector<std::string>{
                                    "removed key [HKEY_LOCAL_MACHINE\\A\\B] with 1 key below it",
                                    "no key [HKEY_LOCAL_MACHINE\\Q] to remove",
                                    "removed value \"X\" of [HKEY_LOCAL_MACHINE\\A]",
                                    "no value @ in [HKEY_LOCAL_MACHINE\\D] to remove",
                                }));
    EXPECT_EQ(summary.values, 2u);
    EXPECT_EQ(reg::Serialize(document),
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"y\"=\"2\"\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\D]\r\n\"v\"=dword:00000005\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\a\\b]\r\n\"new\"=\"6\"\r\n");
}

TEST(RegistryEdit, ImportOfTheRootsRemovalOrOfAControlCharacterIsRefused) {
    std::vector<reg::Deletion> deletions;
    const reg::Document removesRoot =
        Document("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n[-HKEY_LOCAL_MACHINE]\n", &deletions);
    try {
        CheckImport(removesRoot, deletions, "import.reg");
        ADD_FAILURE() << "the root's removal was accepted";
    } catch (const RuntimeError& error) {
        EXPECT_STREQ(error.what(),
                     "import.reg: line 4: HKEY_LOCAL_MACHINE itself cannot be removed");
    }
    const reg::Document hostile{{{"A\x1b]0;x", {}}}};
    EXPECT_THROW(CheckImport(hostile, {}, "import.reg"), UsageError);
}

}  // namespace
}  // namespace kx::tool
