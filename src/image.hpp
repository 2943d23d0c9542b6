// Reading an image: a file, a block device or a raw drive, or bytes held in
// memory. Every read goes through one layer that asks the source only for
// whole aligned blocks (a raw drive refuses anything else) and keeps the last
// two blocks it read, so that the structures of an image, which mostly lie
// close together, cost few system calls. Callers get exactly the bytes they
// ask for, or fewer where the image ends or a read fails: never made-up ones.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.hpp"

using BytePosition = std::uint64_t;

// Where the bytes come from: a function that reads at an absolute position,
// as pread does (fewer bytes only at the end or on an error).
struct ImageReader {
    std::size_t (*read)(void* context, std::uint64_t position, unsigned char* buffer,
                        std::size_t count, bool* failed, platform::ErrorText* reason);
    void* context;
};

// The cache: two blocks of kImageBlockSize bytes, a multiple of every device
// sector size (512, 2048, 4096), aligned for the strictest device.
constexpr std::size_t kImageBlockSize = 32768;
constexpr std::size_t kImageBlockAlignment = 4096;
// A regular file is read in smaller blocks: the system's page cache already
// reads ahead on it, and every byte of a block is copied out of that cache,
// so a block of a few pages covers the structures that lie together (the
// descriptors from sector 16, a catalog and the boot images after it) at a
// quarter of the copying. Checking many images in one run is mostly that
// copying.
constexpr std::size_t kFileBlockSize = 8192;

struct CachedBlock {
    std::uint64_t start;      // byte position of the block's first byte
    std::size_t length;       // how many bytes were asked for (less at a device's end)
    std::size_t delivered;    // how many of them, from the first, arrived
    bool failed;              // the read stopped at an error after `delivered` bytes
    bool valid;
    std::uint64_t last_used;  // for choosing which block to replace
};

struct ImageSource {
    const char* name;                // the path as given, for messages
    platform::FileHandle file;       // when reading a file
    const unsigned char* memory;     // when reading bytes in memory
    std::uint64_t memory_size;
    ImageReader reader;              // how blocks are read (set by open/memory)
    std::uint32_t device_sector;     // reads are whole multiples of this, at multiples of it
    std::size_t block_size;          // kImageBlockSize, or kFileBlockSize for a regular file
    bool size_known;
    std::uint64_t size;              // bytes: a file's size, or a device's
    bool is_device;                  // a block device or raw drive
    std::uint64_t clock;
    std::size_t system_reads;        // how many reads reached the source
    CachedBlock blocks[2];
    alignas(kImageBlockAlignment) unsigned char block_bytes[2][kImageBlockSize];
};

// What a read met besides the bytes it delivered.
struct ReadResult {
    std::size_t delivered;
    bool failed;                     // the source reported an error
    platform::ErrorText reason;
};

// Opens the image at `path`; false, with the system's reason, when it cannot
// be opened or is not a file or block device. The source must stay in place
// (it holds the cache) until closed.
bool open_image_source(ImageSource& source, const char* path, platform::ErrorText* reason);

// Reads the `size` bytes at `bytes` as an image, with no file.
void memory_image_source(ImageSource& source, const char* name, const unsigned char* bytes,
                         std::uint64_t size);

// An image read through `reader`, of `size` bytes, whose reads must be whole
// multiples of `device_sector` bytes at multiples of it (tests use this to
// stand in for a raw drive).
void reader_image_source(ImageSource& source, const char* name, ImageReader reader,
                         std::uint32_t device_sector, std::uint64_t size);

void close_image_source(ImageSource& source);

// Up to `count` bytes at `position` into `buffer`; fewer where the image ends
// or the source fails (then `failed` and the reason are set).
ReadResult image_read(ImageSource& source, BytePosition position, unsigned char* buffer,
                      std::size_t count);
