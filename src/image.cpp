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
        block = CachedBlock{0, 0, false, 0};
    }
}

// The cached block that starts at `start`, reading it when it is not cached.
// Null when the source failed (the reason in `result`); a block the source
// could not fill is cached with what arrived.
const CachedBlock* block_at(ImageSource& source, std::uint64_t start, ReadResult& result,
                            const unsigned char** bytes) {
    ++source.clock;
    for (int i = 0; i < 2; ++i) {
        CachedBlock& block = source.blocks[i];
        if (block.valid && block.start == start) {
            block.last_used = source.clock;
            *bytes = source.block_bytes[i];
            return &block;
        }
    }
    // Replace the block used longest ago (or one never used).
    const int slot = !source.blocks[0].valid ? 0
                   : !source.blocks[1].valid ? 1
                   : source.blocks[0].last_used <= source.blocks[1].last_used ? 0 : 1;
    CachedBlock& block = source.blocks[slot];
    block.valid = false;
    std::size_t wanted = source.block_size;
    if (source.size_known && source.is_device) {
        // A device's last block may be shorter than ours; ask only for the
        // sectors that exist (its size is a whole number of sectors).
        if (start >= source.size) {
            block = CachedBlock{start, 0, true, source.clock};
            *bytes = source.block_bytes[slot];
            return &block;
        }
        const std::uint64_t left = source.size - start;
        if (left < wanted) {
            wanted = static_cast<std::size_t>(left);
        }
        const std::size_t sector = source.device_sector > 0 ? source.device_sector : 1;
        wanted -= wanted % sector;
    }
    bool failed = false;
    platform::ErrorText reason;
    reason.text[0] = '\0';
    ++source.system_reads;
    const std::size_t delivered = wanted == 0 ? 0
        : source.reader.read(source.reader.context, start, source.block_bytes[slot], wanted,
                             &failed, &reason);
    if (failed) {
        result.failed = true;
        result.reason = reason;
        return nullptr;
    }
    block = CachedBlock{start, delivered, true, source.clock};
    *bytes = source.block_bytes[slot];
    return &block;
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
        const unsigned char* bytes = nullptr;
        const CachedBlock* block = block_at(source, start, result, &bytes);
        if (block == nullptr) {
            break;
        }
        const std::size_t offset = static_cast<std::size_t>(at - start);
        if (offset >= block->delivered) {
            break;  // the image ends before this byte
        }
        std::size_t piece = block->delivered - offset;
        if (piece > count - result.delivered) {
            piece = count - result.delivered;
        }
        std::memcpy(buffer + result.delivered, bytes + offset, piece);
        result.delivered += piece;
        if (block->delivered < source.block_size && offset + piece == block->delivered) {
            break;  // the block was the image's last
        }
    }
    return result;
}
