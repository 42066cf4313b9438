#include "pak/format.h"

#include <cstring>

uint32_t load_le32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void store_le32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

void encode_record(const pak_record &record, unsigned char *out)
{
    memcpy(out + PAK_RECORD_NAME_AT, record.name, PAK_NAME_SIZE);
    store_le32(out + PAK_RECORD_DATA_OFFSET_AT, record.data_offset);
    store_le32(out + PAK_RECORD_DATA_LENGTH_AT, record.data_length);
}

pak_record decode_record(const unsigned char *in)
{
    pak_record record;
    memcpy(record.name, in + PAK_RECORD_NAME_AT, PAK_NAME_SIZE);
    record.data_offset = load_le32(in + PAK_RECORD_DATA_OFFSET_AT);
    record.data_length = load_le32(in + PAK_RECORD_DATA_LENGTH_AT);
    return record;
}
