// Types shared by the report's sections: the sector arithmetic of a disc
// image, the fixed buffers a run reads the image into, the view of a text
// field, and the run itself (image, output, status). Declarations only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image.hpp"
#include "layout.hpp"
#include "messages.hpp"
#include "platform.hpp"

// A sector of an ISO 9660 image is 2048 bytes, whatever logical block size
// the volume declares; every position tolvane reads or prints is counted in
// these sectors.
using Sector = std::uint32_t;
constexpr BytePosition kSectorSize = layout::kSector;

// How many bytes each section reads.
constexpr std::size_t kPvdRecordSize = layout::pvd::kSize;  // the whole primary volume descriptor
constexpr std::size_t kSectorBufferSize = 512; // boot record descriptor, then boot catalog
constexpr std::size_t kBootTableSize = layout::boot_table::kSize;  // start of a boot image

// The three buffers of a run. They start as zero bytes, and a read fills
// every byte it was asked for (missing bytes become zero bytes), so nothing
// read earlier can show through a later read.
struct ImageBuffers {
    unsigned char pvd_record[kPvdRecordSize];
    unsigned char sector_buffer[kSectorBufferSize];
    unsigned char boot_table[kBootTableSize];
};

// A run of bytes taken from a field, as written after a label. It points into
// one of the buffers above; `length` decides how many bytes are written, so
// NUL bytes are text like any other.
struct Text {
    const unsigned char* bytes;
    std::size_t length;
};

// Where report lines go: standard output, or a string for tests. Lines are
// gathered in `pending` and passed on when it fills and at the end of the
// run, or after every line when the output is a terminal.
constexpr std::size_t kOutputBufferSize = 8192;
struct Output {
    std::string* capture;            // non-null: append here instead of stdout
    bool line_by_line;               // pass each line on at once (a terminal)
    bool terminal_safe;              // write bytes outside printable ASCII as '?'
    bool failed;                     // a write was refused; nothing more is written
    platform::ErrorText reason;
    std::size_t used;
    char pending[kOutputBufferSize];
};

// Everything one run owns.
struct Run {
    ImageSource* image;              // where the image is read from (it holds the read cache)
    Output out;
    Diagnostics diag;
    ImageBuffers buffers;
    bool read_failed;                // a read met an I/O error (exit status 1)
};
