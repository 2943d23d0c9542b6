// The run's image access, as the report uses it: open, positioned reads that
// always fill the buffer (bytes the image lacks become zero bytes, with a
// warning), close. Every section reads the image through read_at alone.
#pragma once

#include <cstddef>
#include <string>

#include "UTypes.hpp"

// Opens the image named by `path` for reading; on failure writes one line
// naming the path and the reason to the run's diagnostics and returns false.
bool open_image(Run& run, const char* path);

// Reads `count` bytes at `position` into `buffer`. Bytes the image does not
// hold (it ends, or the read failed) become zero bytes, with a warning that
// names the position and how many bytes were missing; a failed read also
// marks the run as failed.
void read_at(Run& run, BytePosition position, unsigned char* buffer, std::size_t count);

void close_image(Run& run);

// "tolvane: PATH: read error at byte position N: REASON": the line of a read
// that failed, for every mode.
std::string read_error_line(const char* path, BytePosition position, const char* reason);
