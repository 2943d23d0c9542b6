// Builds small disc images for tests by placing bytes at offsets: just the
// structures tolvane reads, wherever a test wants them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class ImageBuilder {
public:
    explicit ImageBuilder(std::size_t size = 0) : bytes_(size, 0) {}

    ImageBuilder& put(std::uint64_t offset, const std::string& text) {
        grow(offset + text.size());
        for (std::size_t i = 0; i < text.size(); ++i) {
            bytes_[offset + i] = static_cast<unsigned char>(text[i]);
        }
        return *this;
    }
    ImageBuilder& put_u8(std::uint64_t offset, unsigned value) {
        grow(offset + 1);
        bytes_[offset] = static_cast<unsigned char>(value);
        return *this;
    }
    ImageBuilder& put_le16(std::uint64_t offset, unsigned value) {
        put_u8(offset, value & 0xFF);
        return put_u8(offset + 1, (value >> 8) & 0xFF);
    }
    ImageBuilder& put_le32(std::uint64_t offset, std::uint32_t value) {
        put_le16(offset, value & 0xFFFF);
        return put_le16(offset + 2, value >> 16);
    }
    ImageBuilder& put_be32(std::uint64_t offset, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            put_u8(offset + i, (value >> (24 - 8 * i)) & 0xFF);
        }
        return *this;
    }
    // ISO 9660's both-byte-order numbers: little-endian copy, then big-endian.
    ImageBuilder& put_both16(std::uint64_t offset, unsigned value) {
        put_le16(offset, value);
        put_u8(offset + 2, (value >> 8) & 0xFF);
        return put_u8(offset + 3, value & 0xFF);
    }
    ImageBuilder& put_both32(std::uint64_t offset, std::uint32_t value) {
        put_le32(offset, value);
        return put_be32(offset + 4, value);
    }
    // A field of `width` bytes: the text, then spaces up to the width.
    ImageBuilder& put_padded(std::uint64_t offset, const std::string& text, std::size_t width) {
        return put(offset, text + std::string(width - text.size(), ' '));
    }
    ImageBuilder& resize(std::size_t size) {
        bytes_.resize(size, 0);
        return *this;
    }

    const std::vector<unsigned char>& bytes() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }

private:
    void grow(std::uint64_t end) {
        if (end > bytes_.size()) {
            bytes_.resize(static_cast<std::size_t>(end), 0);
        }
    }
    std::vector<unsigned char> bytes_;
};

constexpr std::uint64_t kSector = 2048;

// Identifiers, sizes and locations of a primary volume descriptor.
struct VolumeFields {
    std::string system = "LINUX";
    std::string volume = "TOLVANE_TEST";
    std::string volume_set = "SET";
    std::string publisher = "PUBLISHER";
    std::string preparer = "PREPARER";
    std::string application = "APPLICATION";
    unsigned block_size = 2048;
    std::uint32_t volume_sectors = 64;
    std::uint32_t path_table = 19;
    std::uint32_t root_directory = 21;
};

// A primary volume descriptor at sector 16, as a mastering tool writes it.
inline void put_primary_volume(ImageBuilder& image, const VolumeFields& fields) {
    const std::uint64_t pvd = 16 * kSector;
    image.put_u8(pvd + 0, 1).put(pvd + 1, "CD001").put_u8(pvd + 6, 1);
    image.put_padded(pvd + 8, fields.system, 32);
    image.put_padded(pvd + 40, fields.volume, 32);
    image.put_both32(pvd + 80, fields.volume_sectors);
    image.put_both16(pvd + 120, 1).put_both16(pvd + 124, 1);
    image.put_both16(pvd + 128, fields.block_size);
    image.put_both32(pvd + 132, 10);
    image.put_le32(pvd + 140, fields.path_table).put_be32(pvd + 148, fields.path_table + 1);
    image.put_u8(pvd + 156, 34).put_both32(pvd + 158, fields.root_directory);
    image.put_padded(pvd + 190, fields.volume_set, 128);
    image.put_padded(pvd + 318, fields.publisher, 128);
    image.put_padded(pvd + 446, fields.preparer, 128);
    image.put_padded(pvd + 574, fields.application, 128);
}

// An El Torito boot record at sector 17 pointing at the catalog.
inline void put_boot_record(ImageBuilder& image, std::uint32_t catalog) {
    const std::uint64_t record = 17 * kSector;
    image.put_u8(record + 0, 0).put(record + 1, "CD001").put_u8(record + 6, 1);
    image.put(record + 7, "EL TORITO SPECIFICATION");
    image.put_le32(record + 71, catalog);
}

// Sets the checksum word of the validation entry at `catalog` so that the
// entry's sixteen 16-bit words sum to zero.
inline void put_validation_checksum(ImageBuilder& image, std::uint64_t catalog) {
    image.put_le16(catalog + 28, 0);
    unsigned sum = 0;
    for (std::uint64_t i = 0; i < 32; i += 2) {
        sum += image.bytes()[catalog + i] | image.bytes()[catalog + i + 1] << 8u;
    }
    image.put_le16(catalog + 28, (0x10000 - (sum & 0xFFFF)) & 0xFFFF);
}

// A boot catalog entry (initial/default or section entry) at `offset`.
inline void put_boot_entry(ImageBuilder& image, std::uint64_t offset, unsigned indicator,
                           unsigned media, unsigned sector_count, std::uint32_t load_sector) {
    image.put_u8(offset + 0, indicator).put_u8(offset + 1, media);
    image.put_le16(offset + 6, sector_count).put_le32(offset + 8, load_sector);
}

// A boot information table at byte 8 of the boot image at `load_sector`.
inline void put_boot_table(ImageBuilder& image, std::uint32_t load_sector, std::uint32_t pvd,
                           std::uint32_t file, std::uint32_t length,
                           const std::string& checksum_bytes) {
    const std::uint64_t start = load_sector * kSector;
    image.put_le32(start + 8, pvd).put_le32(start + 12, file).put_le32(start + 16, length);
    image.put(start + 20, checksum_bytes);
}
