#include "image.hpp"

#include <cstring>

namespace {

std::size_t read_file(void* context, std::uint64_t position, unsigned char* buffer,
                      std::size_t count, bool* failed, platform::ErrorText* reason) {
    const ImageSource& source = *static_cast<const ImageSource*>(context);
    return platform::read_at_position(source.file, position, buffer, count, failed, reason);
}

// Copies what the in-memory image holds at `position`; nothing past its end.
std::size_t read_memory(void* context, std::uint64_t position, unsigned char* buffer,
                        std::size_t count, bool* failed, platform::ErrorText*) {
    const ImageSource& source = *static_cast<const ImageSource*>(context);
    *failed = false;
    if (position >= source.memory_size) {
        return 0;
    }
    const std::uint64_t available = source.memory_size - position;
    const std::size_t delivered = available < count ? static_cast<std::size_t>(available) : count;
    std::memcpy(buffer, source.memory + position, delivered);
    return delivered;
}

void reset(ImageSource& source, const char* name) {
    source.name = name;
    source.file = platform::FileHandle{};
    source.file.valid = false;
    source.memory = nullptr;
    source.memory_size = 0;
    source.device_sector = 1;
    source.block_size = kImageBlockSize;
    source.size_known = false;
    source.size = 0;
    source.is_device = false;
    source.clock = 0;
    source.system_reads = 0;
    for (CachedBlock& block : source.blocks) {
        block = CachedBlock{0, 0, 0, false, false, 0};
    }
}

// Reads `count` bytes at `offset` of the block in `slot` into its own place
// in the block's bytes; how many arrived. An error sets `failed` and `reason`.
std::size_t read_into_block(ImageSource& source, int slot, std::size_t offset, std::size_t count,
                            bool* failed, platform::ErrorText* reason) {
    *failed = false;
    reason->text[0] = '\0';
    if (count == 0) {
        return 0;
    }
    ++source.system_reads;
    return source.reader.read(source.reader.context, source.blocks[slot].start + offset,
                              source.block_bytes[slot] + offset, count, failed, reason);
}

// How many bytes of the block starting at `start` to ask for: all of it, but
// for a device only the whole sectors it holds (its last block may be
// shorter than ours, and its size is a whole number of sectors).
std::size_t block_length(const ImageSource& source, std::uint64_t start) {
    if (!source.size_known || !source.is_device) {
        return source.block_size;
    }
    if (start >= source.size) {
        return 0;
    }
    const std::uint64_t left = source.size - start;
    std::size_t wanted = left < source.block_size ? static_cast<std::size_t>(left) : source.block_size;
    wanted -= wanted % source.device_sector;
    return wanted;
}

// The slot of the cached block that starts at `start`, read when it is not
// cached. A read that failed is cached too, with the bytes that arrived
// before the error, so that a bad sector costs only the bytes behind it.
int block_at(ImageSource& source, std::uint64_t start) {
    ++source.clock;
    for (int i = 0; i < 2; ++i) {
        CachedBlock& block = source.blocks[i];
        if (block.valid && block.start == start) {
            block.last_used = source.clock;
            return i;
        }
    }
    // Replace the block used longest ago (or one never used).
    const int slot = !source.blocks[0].valid ? 0
                   : !source.blocks[1].valid ? 1
                   : source.blocks[0].last_used <= source.blocks[1].last_used ? 0 : 1;
    CachedBlock& block = source.blocks[slot];
    block = CachedBlock{start, block_length(source, start), 0, false, false, source.clock};
    platform::ErrorText reason;
    block.delivered = read_into_block(source, slot, 0, block.length, &block.failed, &reason);
    block.valid = true;
    return slot;
}

// After the read of a whole block failed before the bytes at `offset`: reads
// just the device sectors that hold those `count` bytes, as an unaligned
// read of them alone would have. Returns how many of the bytes arrived; on
// an error the reason goes to `result`.
std::size_t reread_sectors(ImageSource& source, int slot, std::size_t offset, std::size_t count,
                           ReadResult& result) {
    const CachedBlock& block = source.blocks[slot];
    const std::size_t sector = source.device_sector;
    const std::size_t first = offset - offset % sector;
    std::size_t end = offset + count;
    end += (sector - end % sector) % sector;
    if (end > block.length) {
        end = block.length;  // only a device's short last block is cut, at a sector
    }
    if (first >= end) {
        return 0;
    }
    bool failed = false;
    platform::ErrorText reason;
    const std::size_t arrived = read_into_block(source, slot, first, end - first, &failed, &reason);
    if (failed) {
        result.failed = true;
        result.reason = reason;
    }
    if (first + arrived <= offset) {
        return 0;
    }
    const std::size_t usable = first + arrived - offset;
    return usable < count ? usable : count;
}

// Reads the whole blocks of `count` bytes at the block boundary `at` into
// `buffer`, past the cache; false when the image ended or the read failed
// (the reason in `result`).
bool read_whole_blocks(ImageSource& source, std::uint64_t at, unsigned char* buffer,
                       std::size_t count, ReadResult& result) {
    const std::size_t whole = count - count % source.block_size;
    bool failed = false;
    platform::ErrorText reason;
    reason.text[0] = '\0';
    ++source.system_reads;
    const std::size_t got = source.reader.read(source.reader.context, at, buffer, whole, &failed, &reason);
    result.delivered += got;
    if (failed) {
        result.failed = true;
        result.reason = reason;
        return false;
    }
    return got == whole;
}

}  // namespace

bool open_image_source(ImageSource& source, const char* path, platform::ErrorText* reason) {
    reset(source, path);
    source.file = platform::open_read_only(path, reason);
    if (!source.file.valid) {
        return false;
    }
    const platform::FileGeometry geometry = platform::file_geometry(source.file);
    source.size_known = geometry.size_known;
    source.size = geometry.size;
    source.is_device = geometry.is_device;
    source.device_sector = geometry.sector_size > 0 ? geometry.sector_size : 1;
    source.block_size = geometry.is_device ? kImageBlockSize : kFileBlockSize;
    source.reader = ImageReader{read_file, &source};
    return true;
}

void memory_image_source(ImageSource& source, const char* name, const unsigned char* bytes,
                         std::uint64_t size) {
    reset(source, name);
    source.memory = bytes;
    source.memory_size = bytes != nullptr ? size : 0;
    source.size_known = true;
    source.size = source.memory_size;
    source.reader = ImageReader{read_memory, &source};
}

void reader_image_source(ImageSource& source, const char* name, ImageReader reader,
                         std::uint32_t device_sector, std::uint64_t size) {
    reset(source, name);
    source.reader = reader;
    source.device_sector = device_sector > 0 ? device_sector : 1;
    source.size_known = true;
    source.size = size;
    source.is_device = true;
}

void close_image_source(ImageSource& source) {
    if (source.file.valid) {
        platform::close_file(source.file);
        source.file.valid = false;
    }
}

ReadResult image_read(ImageSource& source, BytePosition position, unsigned char* buffer,
                      std::size_t count) {
    ReadResult result;
    result.delivered = 0;
    result.failed = false;
    result.reason.text[0] = '\0';
    while (result.delivered < count) {
        const std::uint64_t at = position + result.delivered;
        if (at < position) {
            break;  // past the last byte position there is
        }
        const std::uint64_t start = at - at % source.block_size;
        if (start == at && count - result.delivered >= source.block_size && !source.is_device) {
            // Whole blocks of a file: straight into the caller's buffer, in
            // one read, so that a checksum or a copy of gigabytes costs what
            // reading those bytes costs.
            if (!read_whole_blocks(source, at, buffer + result.delivered,
                                   count - result.delivered, result)) {
                break;
            }
            continue;
        }
        const int slot = block_at(source, start);
        const CachedBlock& block = source.blocks[slot];
        const std::size_t offset = static_cast<std::size_t>(at - start);
        std::size_t wanted = source.block_size - offset;
        if (wanted > count - result.delivered) {
            wanted = count - result.delivered;
        }
        std::size_t piece = 0;
        if (offset + wanted <= block.delivered) {
            piece = wanted;
        } else if (block.failed) {
            piece = reread_sectors(source, slot, offset, wanted, result);
        } else if (offset < block.delivered) {
            piece = block.delivered - offset;  // the image ends inside the block
        }
        std::memcpy(buffer + result.delivered, source.block_bytes[slot] + offset, piece);
        result.delivered += piece;
        if (piece < wanted) {
            break;  // the image ends here, or a read failed
        }
    }
    return result;
}
