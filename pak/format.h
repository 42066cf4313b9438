// The PAK archive format: a 12-byte header, the members' data, then a
// directory of 64-byte records. All integers are unsigned 32-bit
// little-endian and all offsets count from the first byte of the file.
//
//   header  0  magic       4 bytes "PACK"
//           4  dir_offset  u32: where the first directory record lies
//           8  dir_length  u32: 64 times the number of records
//   record  0  name        56 bytes: the stored path, NUL-padded; byte 55 is
//                          always NUL when written, so a path has at most 55
//          56  data_offset u32: the member's first data byte
//          60  data_length u32: the member's size
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t PAK_MAGIC_SIZE = 4;
constexpr unsigned char PAK_MAGIC[PAK_MAGIC_SIZE] = {'P', 'A', 'C', 'K'};

constexpr size_t PAK_HEADER_SIZE = 12;
constexpr size_t PAK_HEADER_DIR_OFFSET_AT = 4;
constexpr size_t PAK_HEADER_DIR_LENGTH_AT = 8;

constexpr size_t PAK_RECORD_SIZE = 64;
constexpr size_t PAK_NAME_SIZE = 56;
constexpr size_t PAK_NAME_MAX = PAK_NAME_SIZE - 1;
constexpr size_t PAK_RECORD_NAME_AT = 0;
constexpr size_t PAK_RECORD_DATA_OFFSET_AT = 56;
constexpr size_t PAK_RECORD_DATA_LENGTH_AT = 60;

constexpr size_t PAK_U32_SIZE = 4;
constexpr uint64_t PAK_U32_MAX = 0xFFFFFFFFu;
// The largest directory whose length still fits dir_length.
constexpr uint64_t PAK_RECORDS_MAX = PAK_U32_MAX / PAK_RECORD_SIZE;

// One directory record, its numbers in host order. Records are encoded into
// their 64 file bytes as they are written and decoded as they are read.
struct pak_record {
    char name[PAK_NAME_SIZE];
    uint32_t data_offset;
    uint32_t data_length;
};

// Returns the little-endian u32 at p.
uint32_t load_le32(const unsigned char *p);

// Stores v at p as a little-endian u32.
void store_le32(unsigned char *p, uint32_t v);

// Writes record's 64 file bytes to out.
void encode_record(const pak_record &record, unsigned char *out);

// Returns the record held in the 64 file bytes at in.
pak_record decode_record(const unsigned char *in);
