// The launcher's reading of a stored name: decoded from the ANSI code page
// with MB_ERR_INVALID_CHARS (AnsiToWide), then judged on characters. The stand-in's code
// page is set for each case, so one byte is a superscript digit in one code
// page and half a katakana in another.
#include "payload/names.h"
#include "tests/standin/testing.h"
#include "workspace/ansi.h"

#include <gtest/gtest.h>

namespace {

/* What the extractor makes of a name on Windows: no characters, or the
   rule's verdict on them. */
NameFault LauncherReading(const char* name) {
    wchar_t characters[260];  // the decoded name
    int count = AnsiToWide(name, characters, 260);
    return count < 0 ? NAME_UNDECODABLE : CheckNameCharacters(characters, size_t(count), nullptr);
}

struct DecodingCase {
    UINT codepage;  // 0: the stand-in's US-ASCII
    const char* name;
    NameFault fault;
};

class NameDecoding : public ::testing::TestWithParam<DecodingCase> {
  protected:
    void TearDown() override {
        PlatformSetAnsiCodepage(0);
    }
};

TEST_P(NameDecoding, Fault) {
    const DecodingCase& c = GetParam();
    ASSERT_TRUE(PlatformSetAnsiCodepage(c.codepage));
    EXPECT_EQ(LauncherReading(c.name), c.fault) << c.codepage << " " << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    CodePages, NameDecoding,
    ::testing::Values(
        DecodingCase{0, "setup.exe", NAME_OK}, DecodingCase{0, "", NAME_EMPTY},
        DecodingCase{0, "caf\xE9.txt", NAME_UNDECODABLE}, DecodingCase{0, "nul.txt", NAME_DEVICE},
        DecodingCase{1252, "caf\xE9.txt", NAME_OK}, DecodingCase{1252, "COM\xB9", NAME_DEVICE},
        DecodingCase{1252, "lpt\xB3.txt", NAME_DEVICE},
        // Shift-JIS: 0xB9 is a half-width katakana, and a
        // second byte 0x5C is no backslash.
        DecodingCase{932, "COM\xB9", NAME_OK}, DecodingCase{932, "\x95\x5C.txt", NAME_OK},
        DecodingCase{932, "a\x95", NAME_UNDECODABLE},
        DecodingCase{932, "a\\\x95\x5C", NAME_FORBIDDEN_CHAR},
        // Korean: the superscripts are two bytes each.
        DecodingCase{949, "COM\xA9\xF6", NAME_DEVICE},
        DecodingCase{949, "LPT\xA9\xF7.txt", NAME_DEVICE},
        DecodingCase{65001, "COM\xC2\xB9", NAME_DEVICE},
        DecodingCase{65001, "\xED\xA0\x80.txt", NAME_UNDECODABLE},
        DecodingCase{65001, "a\xC3", NAME_UNDECODABLE}));

}  // namespace
