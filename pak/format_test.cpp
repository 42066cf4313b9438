#include "pak/format.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tests/support.h"

namespace {

TEST(Format, NumbersAreLittleEndianWhateverTheHost)
{
    const struct {
        uint32_t value;
        unsigned char bytes[4];
    } cases[] = {
        {0, {0, 0, 0, 0}},
        {12, {0x0C, 0, 0, 0}},
        {0x01020304, {4, 3, 2, 1}},
        {0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}},
        {0x80000000, {0, 0, 0, 0x80}},
    };
    for (const auto &c : cases) {
        unsigned char out[4];
        store_le32(out, c.value);
        EXPECT_EQ(memcmp(out, c.bytes, 4), 0) << c.value;
        EXPECT_EQ(load_le32(c.bytes), c.value);
    }
}

TEST(Format, RecordsEncodeToTheirFileBytesAndBack)
{
    pak_record record = {};
    memcpy(record.name, "a/b.txt", 7);
    record.data_offset = 0x11223344;
    record.data_length = 5;
    unsigned char bytes[PAK_RECORD_SIZE];
    encode_record(record, bytes);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), sizeof bytes),
              pak_record_bytes("a/b.txt", 0x11223344, 5));

    pak_record back = decode_record(bytes);
    EXPECT_EQ(memcmp(back.name, record.name, PAK_NAME_SIZE), 0);
    EXPECT_EQ(back.data_offset, record.data_offset);
    EXPECT_EQ(back.data_length, record.data_length);
}

TEST(Format, DecodingInPlaceReadsEveryByteFirst)
{
    std::string raw = pak_record_bytes("x", 0x0A0B0C0D, 0x01000000);
    pak_record record;
    memcpy(&record, raw.data(), sizeof record);
    record = decode_record(reinterpret_cast<const unsigned char *>(&record));
    EXPECT_EQ(record.data_offset, 0x0A0B0C0Du);
    EXPECT_EQ(record.data_length, 0x01000000u);
    EXPECT_STREQ(record.name, "x");
}

}  // namespace
