// Writing the report: the line writer, the renderings of numbers, and the
// line shapes that every section builds its lines from. A line is a label
// followed, with no space, by its value, and ends with CR LF.
#pragma once

#include <cstddef>
#include <cstdint>

#include "UTypes.hpp"

// Decimal and hexadecimal digits of a value, written into `digits` (at
// least 21 bytes); returns how many. `hex` pads with 0 on the left up to
// `min_digits` and never cuts a longer value; digits are uppercase.
std::size_t decimal(std::uint64_t value, char* digits);
std::size_t hex(std::uint64_t value, int min_digits, char* digits);

// The byte position of a sector: sector x 2048, in 64 bits.
BytePosition byte_position(Sector sector);

// Exactly `count` bytes of a field, unexamined.
Text raw_text(const unsigned char* field, std::size_t count);

// The `width` bytes of an identifier field as stored, spaces included; a
// field of nothing but spaces is the empty text.
Text field_text(const unsigned char* field, std::size_t width);

// The value with its four bytes in reverse order.
std::uint32_t swap_bytes32(std::uint32_t value);

// Writes one line: its bytes, then CR LF.
void write_line(Output& out, const char* bytes, std::size_t count);

// Writes bytes as they are, with no line end of their own (the JSON and
// check outputs, whose lines end with LF).
void write_bytes(Output& out, const char* bytes, std::size_t count);

// Passes on whatever lines are still gathered. False when the output refused them.
bool flush_output(Output& out);

// The line shapes. Labels of hex, sector, position and count lines end in "$".
void heading_line(Output& out, const char* label);
void text_line(Output& out, const char* label, Text value);
void decimal_line(Output& out, const char* label, std::uint64_t value);
void hex_line(Output& out, const char* label, std::uint64_t value, int min_digits);
// "00000010 (32768)": the sector in hex, its byte position in decimal.
void sector_line(Output& out, const char* label, Sector sector);
// "00008000 (32768)": the sector's byte position in hex and in decimal.
void position_line(Output& out, const char* label, Sector sector);
// "0004 (2048)": a count of 512-byte sectors in hex, its bytes in decimal.
void count_line(Output& out, const char* label, std::uint16_t count);
// "1234 blocks. 2MB": a size in sectors, then in whole megabytes
// (sectors x 2048 / 2^20, rounded down).
void blocks_line(Output& out, const char* label, std::uint32_t sectors);
