// The entry name rule shared by the launcher and the packer: what Windows
// would turn into a device, another file's name, or no name at all.
#include "payload/names.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct NameCase {
    const char* name;
    bool double_byte;  // read with the Shift-JIS lead bytes
    NameFault fault;
};

// Shift-JIS: 0x81-0x9F and 0xE0-0xFC start two-byte characters, whose
// second byte may be 0x5C ('\') or 0x7C ('|').
const uint8_t* ShiftJisLeadBytes() {
    static uint8_t table[NAME_LEAD_TABLE_SIZE];
    for (int b = 0; b < NAME_LEAD_TABLE_SIZE; b++) {
        table[b] = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    }
    return table;
}

class EntryNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(EntryNames, Fault) {
    const NameCase& c = GetParam();
    EXPECT_EQ(CheckEntryName(c.name, c.double_byte ? ShiftJisLeadBytes() : nullptr, nullptr),
              c.fault)
        << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Rule, EntryNames,
    ::testing::Values(
        NameCase{"setup.exe", false, NAME_OK}, NameCase{".profile", false, NAME_OK},
        NameCase{"COM10", false, NAME_OK}, NameCase{"console.lng", false, NAME_OK},
        NameCase{"", false, NAME_EMPTY}, NameCase{"..", false, NAME_DOTS},
        NameCase{"CON", false, NAME_DEVICE}, NameCase{"con.txt", false, NAME_DEVICE},
        NameCase{"Com9.lng", false, NAME_DEVICE}, NameCase{"CONIN$", false, NAME_DEVICE},
        NameCase{"conout$.log", false, NAME_DEVICE}, NameCase{"nul .txt", false, NAME_DEVICE},
        NameCase{"LPT\xB9", false, NAME_DEVICE},
        NameCase{"setup.exe.", false, NAME_TRAILING_DOT_SPACE},
        NameCase{"setup.exe ", false, NAME_TRAILING_DOT_SPACE},
        NameCase{"...", false, NAME_TRAILING_DOT_SPACE},
        NameCase{"a|b", false, NAME_FORBIDDEN_CHAR}, NameCase{"a\x1f", false, NAME_CONTROL_CHAR},
        // The second byte of a double-byte character is no
        // separator, and no last dot.
        NameCase{"\x95\x5C.txt", true, NAME_OK},
        NameCase{"\x95\x5C.txt", false, NAME_FORBIDDEN_CHAR}, NameCase{"abc\x81.", true, NAME_OK},
        NameCase{"abc\x81.", false, NAME_TRAILING_DOT_SPACE},
        // A lead byte at the very end stands alone.
        NameCase{"a\x95", true, NAME_OK}, NameCase{"a\x95\\", true, NAME_OK},
        NameCase{"a\\\x95", true, NAME_FORBIDDEN_CHAR}));

TEST(EntryNames, ReportsTheOffendingCharacter) {
    char offending = 0;
    EXPECT_EQ(CheckEntryName("a<b", nullptr, &offending), NAME_FORBIDDEN_CHAR);
    EXPECT_EQ(offending, '<');
}

}  // namespace
