// DecodeChunk on members made by libdeflate at every level (native only).
#include <gtest/gtest.h>

#include "testdata.h"

using testdata::Bytes;

namespace {

TEST(LibdeflateMembers, EveryLevel) {
    for (const testdata::CorpusItem& item : testdata::Corpus(true)) {
        for (int level = 0; level <= 12; level++) {
            if (item.content.size() > 200000 && level % 4 != 1) {
                continue;  // the large inputs at levels 1, 5 and 9 only
            }
            Bytes member = testdata::FrameMember(
                testdata::LibdeflateDeflateRaw(item.content, level), item.content);
            uint32_t capacity = static_cast<uint32_t>(std::max(item.content.size(), member.size()));
            testdata::Decoded d = testdata::Decode(member, capacity);
            ASSERT_EQ(d.result, 8) << item.name << " level " << level;
            ASSERT_EQ(d.length, item.content.size());
            ASSERT_TRUE(std::equal(item.content.begin(), item.content.end(), d.output.begin()))
                << item.name << " level " << level;
        }
    }
}

}  // namespace
