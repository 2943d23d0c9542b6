// The run of tolvane: image access, the order of the report's sections, and
// the helpers that take fields out of the image's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "UTypes.hpp"

// Fields of the image are little-endian; each is assembled from its bytes,
// so the result is the same on any host.
inline std::uint8_t u8_at(const unsigned char* bytes, std::size_t offset) {
    return bytes[offset];
}
inline std::uint16_t le16_at(const unsigned char* bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}
inline std::uint32_t le32_at(const unsigned char* bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) |
           (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[offset + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

// The `width` bytes of an identifier field as stored, spaces included; a
// field of nothing but spaces is the empty text.
Text field_text(const unsigned char* field, std::size_t width);

// The value with its four bytes in reverse order.
std::uint32_t swap_bytes32(std::uint32_t value);

// Opens the image named by `path` for reading; on failure writes one line
// naming the path and the reason to the run's diagnostics and returns false.
bool open_image(Run& run, const char* path);

// Reads `count` bytes at `position` into `buffer`. Bytes the image does not
// hold (it ends, or the read failed) become zero bytes, with a warning that
// names the position and how many bytes were missing; a failed read also
// marks the run as failed.
void read_at(Run& run, BytePosition position, unsigned char* buffer, std::size_t count);

void close_image(Run& run);

// "tolvane 0.2 by ...": the first line of every report.
void banner_line(Output& out);

// The report after the banner: the separator and section of the primary
// volume, of the boot record and of the boot catalog.
void report_sections(Run& run);

// Sets up a run that reads `size` bytes held in memory and gathers its report
// and its diagnostics in strings; `as_on_terminal` writes the report as for a
// terminal (line by line, unsafe field bytes as '?'). Returns the exit status
// the command would end with.
int report_memory_image(const unsigned char* bytes, std::uint64_t size, bool as_on_terminal,
                        std::string* report, std::string* diagnostics);

// The command: tolvane [--] IMAGE, or tolvane --help | -h | --version | -V
// (options only as the first argument). Returns the process's exit status.
int tolvane_main(int argc, char** argv);
