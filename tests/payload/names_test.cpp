// The entry name rule shared by the launcher and the packer, on characters:
// what Windows would turn into a device, another file's name, one of the
// extractor's own folders, or no name at all.
#include "payload/names.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct NameCase {
    const wchar_t* name;
    NameFault fault;
};

class EntryNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(EntryNames, Fault) {
    std::wstring name = GetParam().name;
    EXPECT_EQ(CheckNameCharacters(name.c_str(), name.size(), nullptr), GetParam().fault)
        << std::string(name.begin(), name.end());
}

INSTANTIATE_TEST_SUITE_P(
    Rule, EntryNames,
    ::testing::Values(
        NameCase{L"setup.exe", NAME_OK}, NameCase{L".profile", NAME_OK},
        NameCase{L"COM10", NAME_OK}, NameCase{L"console.lng", NAME_OK}, NameCase{L"", NAME_EMPTY},
        NameCase{L"..", NAME_DOTS}, NameCase{L".", NAME_DOTS},
        NameCase{L"a|b", NAME_FORBIDDEN_CHAR}, NameCase{L"a\x1f", NAME_CONTROL_CHAR},
        NameCase{L"setup.exe.", NAME_TRAILING_DOT_SPACE},
        NameCase{L"setup.exe ", NAME_TRAILING_DOT_SPACE}, NameCase{L"...", NAME_TRAILING_DOT_SPACE},
        // Devices: any case, any extension, spaces before the dot, the
        // digits 0 to 9 and the superscripts one to three.
        NameCase{L"CON", NAME_DEVICE}, NameCase{L"con.txt", NAME_DEVICE},
        NameCase{L"Com9.lng", NAME_DEVICE}, NameCase{L"com0", NAME_DEVICE},
        NameCase{L"LPT0.a.b", NAME_DEVICE}, NameCase{L"CONIN$", NAME_DEVICE},
        NameCase{L"conout$.log", NAME_DEVICE}, NameCase{L"nul .txt", NAME_DEVICE},
        NameCase{L"prn", NAME_DEVICE}, NameCase{L"Aux.x", NAME_DEVICE},
        NameCase{L"COM\u00B9", NAME_DEVICE}, NameCase{L"lpt\u00B2.txt", NAME_DEVICE},
        NameCase{L"LPT\u00B3", NAME_DEVICE}, NameCase{L"COM\u2074", NAME_OK},
        NameCase{L"COM\uFF79", NAME_OK}, NameCase{L"\uFF23ON", NAME_OK}, NameCase{L"CO", NAME_OK},
        NameCase{L"CONOUT", NAME_OK}, NameCase{L"LPT", NAME_OK}, NameCase{L" CON", NAME_OK},
        // The extractor's sub-folders, as whole names only.
        NameCase{L"Style", NAME_SUBFOLDER}, NameCase{L"LANG", NAME_SUBFOLDER},
        NameCase{L"sTyLe", NAME_SUBFOLDER}, NameCase{L"style.jvs", NAME_OK},
        NameCase{L"lang.lng", NAME_OK}, NameCase{L"langs", NAME_OK},
        // 8.3 alias shapes: 1 to 6 characters, '~', digits, 8 in all,
        // then nothing or 1 to 3 characters after one dot.
        NameCase{L"SETUP~1.EXE", NAME_SHORT_ALIAS}, NameCase{L"setup~12", NAME_SHORT_ALIAS},
        NameCase{L"a~1.b", NAME_SHORT_ALIAS}, NameCase{L"ABCDE~99.txt", NAME_SHORT_ALIAS},
        NameCase{L"\u8868~1.txt", NAME_SHORT_ALIAS}, NameCase{L"PROGRA~1", NAME_SHORT_ALIAS},
        NameCase{L"ABCDEF~1.TXT", NAME_SHORT_ALIAS}, NameCase{L"SETUP~10.EXE", NAME_SHORT_ALIAS},
        NameCase{L"A~0", NAME_SHORT_ALIAS}, NameCase{L"~1.txt", NAME_OK},
        NameCase{L"ABCDEFG~1.txt", NAME_OK}, NameCase{L"ABCDEF~99", NAME_OK},
        NameCase{L"SETUP~1.EXEC", NAME_OK}, NameCase{L"SETUP~1.", NAME_TRAILING_DOT_SPACE},
        NameCase{L"SETUP~.EXE", NAME_OK}, NameCase{L"SETUP~1a.exe", NAME_OK},
        NameCase{L"SETUP~1.tar.gz", NAME_OK}));

TEST(EntryNames, ReportsTheOffendingCharacter) {
    wchar_t offending = 0;
    EXPECT_EQ(CheckNameCharacters(L"a<b", 3, &offending), NAME_FORBIDDEN_CHAR);
    EXPECT_EQ(offending, L'<');
}

}  // namespace
