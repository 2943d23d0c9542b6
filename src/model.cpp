#include "model.hpp"

#include <cstring>

#include "directory.hpp"
#include "layout.hpp"

namespace {

namespace cat = layout::catalog;

// One model being read: the image, where its first read error goes, and how
// many more bytes boot file checksums may read.
struct Reading {
    ImageSource& source;
    ImageModel& model;
    std::uint64_t checksum_budget;
    std::vector<unsigned char> chunk;  // kChecksumChunk bytes once a checksum is summed
};

// Boot files are summed in chunks of this many bytes: large enough that a
// file of gigabytes is read in few calls, a multiple of four and of every
// block size, and allocated once per image.
constexpr std::size_t kChecksumChunk = 1 << 20;

// Reads `count` bytes at `position`; true only when the image held them all.
// A read error is remembered in the model (the first one) and reads as absent.
bool read_whole(Reading& r, std::uint64_t position, unsigned char* buffer, std::size_t count) {
    const ReadResult result = image_read(r.source, position, buffer, count);
    if (result.failed && !r.model.read_failed) {
        r.model.read_failed = true;
        r.model.read_error_position = position + result.delivered;
        r.model.read_error_reason = result.reason.text;
    }
    return result.delivered == count;
}

std::string text_of(const unsigned char* bytes, std::size_t count) {
    return std::string(reinterpret_cast<const char*>(bytes), count);
}

std::uint64_t sector_position(std::uint32_t sector) {
    return static_cast<std::uint64_t>(sector) * layout::kSector;
}

void read_system_area(Reading& r) {
    unsigned char mbr[layout::mbr::kSize];
    if (!read_whole(r, 0, mbr, sizeof mbr)) {
        return;
    }
    SystemArea area;
    area.mbr_signature = mbr[layout::mbr::kSignature] == 0x55 && mbr[layout::mbr::kSignature + 1] == 0xAA;
    if (area.mbr_signature) {
        for (std::size_t i = 0; i < layout::mbr::kPartitionCount; ++i) {
            const unsigned char* entry = mbr + layout::mbr::kPartitionTable + i * layout::mbr::kPartitionEntrySize;
            Partition partition;
            partition.number = static_cast<unsigned>(i + 1);
            partition.status = u8_at(entry, layout::mbr::kStatus);
            partition.type = u8_at(entry, layout::mbr::kPartitionType);
            partition.first_sector = le32_at(entry, layout::mbr::kFirstSector);
            partition.sectors = le32_at(entry, layout::mbr::kSectorCount);
            if (partition.type != 0 || partition.sectors != 0) {
                area.partitions.push_back(partition);
            }
        }
    }
    unsigned char gpt[layout::mbr::kGptSignatureSize];
    area.gpt = read_whole(r, layout::mbr::kGptHeader, gpt, sizeof gpt) &&
               std::memcmp(gpt, layout::mbr::kGptSignature, sizeof gpt) == 0;
    r.model.system_area = area;
}

bool is_cd001(const unsigned char* descriptor) {
    return std::memcmp(descriptor + layout::descriptor::kIdentifier, "CD001",
                       layout::descriptor::kIdentifierSize) == 0;
}

PrimaryVolume primary_volume_of(const unsigned char* d, std::uint32_t sector) {
    namespace pvd = layout::pvd;
    PrimaryVolume volume;
    volume.sector = sector;
    volume.system_identifier = text_of(d + pvd::kSystemId, pvd::kSystemIdSize);
    volume.volume_identifier = text_of(d + pvd::kVolumeId, pvd::kVolumeIdSize);
    volume.volume_set_identifier = text_of(d + pvd::kVolumeSetId, pvd::kVolumeSetIdSize);
    volume.publisher_identifier = text_of(d + pvd::kPublisherId, pvd::kPublisherIdSize);
    volume.data_preparer_identifier = text_of(d + pvd::kPreparerId, pvd::kPreparerIdSize);
    volume.application_identifier = text_of(d + pvd::kApplicationId, pvd::kApplicationIdSize);
    volume.logical_block_size = le16_at(d, pvd::kLogicalBlockSize);
    volume.volume_space_size = le32_at(d, pvd::kVolumeSpaceSize);
    volume.path_table_sector = le32_at(d, pvd::kPathTableL);
    volume.root_directory_sector = le32_at(d, pvd::kRootExtent);
    volume.root_directory_length = le32_at(d, pvd::kRootRecord + layout::directory::kDataLength);
    return volume;
}

// The volume descriptor set, from sector 16 to its terminator, the end of the
// image, a sector that is not a descriptor, or kMostVolumeDescriptors.
void read_volume_descriptors(Reading& r) {
    unsigned char d[layout::pvd::kSize];
    for (std::size_t i = 0; i < kMostVolumeDescriptors; ++i) {
        const std::uint32_t sector = layout::kFirstDescriptorSector + static_cast<std::uint32_t>(i);
        if (!read_whole(r, sector_position(sector), d, sizeof d) || !is_cd001(d)) {
            return;
        }
        VolumeDescriptorInfo info;
        info.sector = sector;
        info.type = u8_at(d, layout::descriptor::kType);
        info.identifier = text_of(d + layout::descriptor::kIdentifier, layout::descriptor::kIdentifierSize);
        info.version = u8_at(d, layout::descriptor::kVersion);
        r.model.volume_descriptors.push_back(info);
        if (info.type == layout::descriptor::kPrimary && !r.model.primary_volume) {
            r.model.primary_volume = primary_volume_of(d, sector);
        }
        if (info.type == layout::descriptor::kTerminator) {
            r.model.terminator_found = true;
            return;
        }
    }
}

bool el_torito_identifier(const unsigned char* id) {
    const std::size_t length = sizeof layout::boot_record::kElTorito - 1;
    if (std::memcmp(id, layout::boot_record::kElTorito, length) != 0) {
        return false;
    }
    for (std::size_t i = length; i < layout::boot_record::kSystemIdSize; ++i) {
        if (id[i] != 0) {
            return false;
        }
    }
    return true;
}

void read_boot_record(Reading& r) {
    unsigned char d[layout::pvd::kSize];
    const std::uint32_t sector = layout::kBootRecordSector;
    if (!read_whole(r, sector_position(sector), d, sizeof d) || !is_cd001(d) ||
        u8_at(d, layout::descriptor::kType) != layout::descriptor::kBootRecord) {
        return;
    }
    BootRecord record;
    record.sector = sector;
    record.boot_system_identifier =
        text_of(d + layout::boot_record::kSystemId, layout::boot_record::kSystemIdSize);
    record.catalog_sector = le32_at(d, layout::boot_record::kCatalogSector);
    record.el_torito = el_torito_identifier(d + layout::boot_record::kSystemId);
    r.model.boot_record = record;
}

// The boot file's checksum as mastering tools compute it: the 32-bit
// little-endian words from byte 64 to `length`, summed mod 2^32, a last
// partial word padded with zero bytes. Read in fixed chunks; absent when the
// file runs past the image, or when it would take the checksums' reads past
// their budget (the image's size: the boot files of an image do not overlap,
// but a hostile catalog can name thousands of tables of 4 GiB each).
std::optional<std::uint32_t> boot_file_checksum(Reading& r, std::uint32_t sector, std::uint32_t length) {
    const std::uint64_t start = sector_position(sector);
    const std::uint64_t end = start + length;
    if (end > image_end(r.model)) {
        return std::nullopt;
    }
    const std::uint64_t summed = length > layout::boot_table::kChecksumStart
                                     ? length - layout::boot_table::kChecksumStart : 0;
    if (summed > r.checksum_budget) {
        return std::nullopt;
    }
    r.checksum_budget -= summed;
    std::uint32_t sum = 0;
    r.chunk.resize(kChecksumChunk);
    unsigned char* const chunk = r.chunk.data();
    std::uint64_t at = start + layout::boot_table::kChecksumStart;
    while (at < end) {
        const std::uint64_t left = end - at;
        const std::size_t count = left < kChecksumChunk ? static_cast<std::size_t>(left) : kChecksumChunk;
        if (!read_whole(r, at, chunk, count)) {
            return std::nullopt;
        }
        // Chunks are multiples of four bytes from byte 64, so words never
        // straddle two of them; only the last one may end in a partial word.
        const std::size_t whole = count - count % 4;
        for (std::size_t i = 0; i < whole; i += 4) {
            sum += le32_at(chunk, i);
        }
        for (std::size_t b = whole; b < count; ++b) {
            sum += static_cast<std::uint32_t>(chunk[b]) << (8 * (b - whole));
        }
        at += count;
    }
    return sum;
}

BootImageStart image_start_of(const unsigned char* s) {
    namespace mbr = layout::mbr;
    namespace fat = layout::fat;
    BootImageStart start{false, 0, 0};
    start.mbr_signature = s[mbr::kSignature] == 0x55 && s[mbr::kSignature + 1] == 0xAA;
    if (!start.mbr_signature) {
        return start;
    }
    for (std::size_t i = 0; i < mbr::kPartitionCount; ++i) {
        const unsigned char* entry = s + mbr::kPartitionTable + i * mbr::kPartitionEntrySize;
        const std::uint64_t sectors = le32_at(entry, mbr::kSectorCount);
        if (u8_at(entry, mbr::kPartitionType) != 0 && sectors != 0) {
            const std::uint64_t end = (le32_at(entry, mbr::kFirstSector) + sectors) * 512u;
            if (end > start.mbr_disk_end) {
                start.mbr_disk_end = end;
            }
        }
    }
    const bool jump = (s[0] == 0xEB && s[2] == 0x90) || s[0] == 0xE9;
    const std::uint16_t bytes_per_sector = le16_at(s, fat::kBytesPerSector);
    const bool sector_size_ok = bytes_per_sector == 512 || bytes_per_sector == 1024 ||
                                bytes_per_sector == 2048 || bytes_per_sector == 4096;
    if (jump && sector_size_ok && s[fat::kSectorsPerCluster] != 0) {
        const std::uint16_t total16 = le16_at(s, fat::kTotalSectors16);
        const std::uint64_t total = total16 != 0 ? total16 : le32_at(s, fat::kTotalSectors32);
        start.fat_size = total * bytes_per_sector;
    }
    return start;
}

BootEntry boot_entry_of(const unsigned char* e, std::uint32_t index, std::uint32_t section,
                        std::uint32_t number, std::uint8_t platform) {
    BootEntry entry{};
    entry.index = index;
    entry.section = section;
    entry.number_in_section = number;
    entry.platform_id = platform;
    entry.boot_indicator = u8_at(e, cat::kBootIndicator);
    entry.media_type = u8_at(e, cat::kMediaType);
    entry.load_segment = le16_at(e, cat::kLoadSegment);
    entry.system_type = u8_at(e, cat::kSystemType);
    entry.sector_count = le16_at(e, cat::kSectorCount);
    entry.load_sector = le32_at(e, cat::kLoadSector);
    entry.selection_criteria = section == 0 ? 0 : u8_at(e, cat::kSelectionCriteria);
    return entry;
}

// The checksum an earlier entry's table already computed for the same boot
// file, if any: entries of several sections often load the same file.
const BootInfoTable* same_boot_file(const std::vector<BootEntry>& earlier, const BootInfoTable& table) {
    for (const BootEntry& entry : earlier) {
        const std::optional<BootInfoTable>& other = entry.boot_info_table;
        if (other && other->file_sector == table.file_sector && other->length == table.length) {
            return &*other;
        }
    }
    return nullptr;
}

// Whether `sector` holds a primary volume descriptor: the one at sector 16,
// or, in a later session of a multisession image, that session's own.
bool holds_primary_volume(Reading& r, std::uint32_t sector) {
    if (r.model.primary_volume && r.model.primary_volume->sector == sector) {
        return true;
    }
    unsigned char d[layout::descriptor::kVersion];
    return read_whole(r, sector_position(sector), d, sizeof d) && is_cd001(d) &&
           u8_at(d, layout::descriptor::kType) == layout::descriptor::kPrimary;
}

// Looks into the boot image: its boot information table (when bytes 12 to
// 15 name its own sector) and what its first 512 bytes are.
void probe_boot_image(Reading& r, BootEntry& entry, const std::vector<BootEntry>& earlier) {
    unsigned char s[layout::mbr::kSize];
    const std::uint64_t start = sector_position(entry.load_sector);
    if (read_whole(r, start, s, sizeof s)) {
        entry.start = image_start_of(s);
    } else if (!read_whole(r, start, s, layout::boot_table::kSize)) {
        return;
    }
    namespace table = layout::boot_table;
    if (le32_at(s, table::kFileSector) != entry.load_sector) {
        return;
    }
    BootInfoTable info;
    info.pvd_sector = le32_at(s, table::kPvdSector);
    info.file_sector = le32_at(s, table::kFileSector);
    info.length = le32_at(s, table::kLength);
    info.checksum = le32_at(s, table::kChecksum);
    info.pvd_sector_holds_primary = holds_primary_volume(r, info.pvd_sector);
    const BootInfoTable* same = same_boot_file(earlier, info);
    info.computed = same != nullptr ? same->computed : boot_file_checksum(r, entry.load_sector, info.length);
    entry.boot_info_table = info;
}

// The validation entry's sixteen little-endian words, summed mod 2^16.
std::uint16_t word_sum(const unsigned char* e) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < cat::kEntrySize; i += 2) {
        sum += le16_at(e, i);
    }
    return static_cast<std::uint16_t>(sum);
}

// Walks the catalog entry by entry, as firmware does.
class CatalogWalk {
public:
    CatalogWalk(Reading& r, BootCatalog& catalog) : r_(r), catalog_(catalog) {}

    void run() {
        unsigned char e[cat::kEntrySize];
        if (!next(e)) {
            return;
        }
        ValidationEntry validation;
        validation.header_id = u8_at(e, cat::kHeaderId);
        validation.platform_id = u8_at(e, cat::kPlatformId);
        validation.id_string = text_of(e + cat::kIdString, cat::kIdStringSize);
        validation.checksum = le16_at(e, cat::kChecksum);
        validation.word_sum = word_sum(e);
        validation.key[0] = e[cat::kKey55];
        validation.key[1] = e[cat::kKeyAA];
        catalog_.validation_entry = validation;

        if (!next(e)) {
            return;
        }
        add_entry(e, 0, 0, validation.platform_id);
        if (!follow_extensions()) {
            return;
        }
        while (header()) {
        }
    }

private:
    // Reads the next entry; false (with the reason the walk ends) when there
    // is none to read.
    bool next(unsigned char* e) {
        if (index_ >= kMostCatalogEntries) {
            stop(CatalogEnd::entry_bound);
            return false;
        }
        const std::uint64_t position = sector_position(catalog_.sector) + index_ * cat::kEntrySize;
        if (!read_whole(r_, position, e, cat::kEntrySize)) {
            stop(r_.model.read_failed ? CatalogEnd::read_error : CatalogEnd::end_of_image);
            return false;
        }
        ++index_;
        return true;
    }
    // Looks at the next entry without taking it.
    bool peek(unsigned char* e) {
        if (!next(e)) {
            return false;
        }
        --index_;
        return true;
    }
    void stop(CatalogEnd end) {
        catalog_.end = end;
        catalog_.end_index = index_;
    }
    // Stops at an entry whose first byte is neither what was due nor a
    // header: `header_due` says which was.
    void stop_unexpected(std::uint8_t first_byte, bool header_due) {
        stop(CatalogEnd::unexpected_entry);
        catalog_.end_byte = first_byte;
        catalog_.end_where_header_due = header_due;
    }

    void add_entry(const unsigned char* e, std::uint32_t section, std::uint32_t number,
                   std::uint8_t platform) {
        BootEntry entry = boot_entry_of(e, index_ - 1, section, number, platform);
        probe_boot_image(r_, entry, catalog_.entries);
        catalog_.entries.push_back(entry);
    }

    // After an entry whose media byte has bit 5 set: its extension entries.
    // False when the walk has ended.
    bool follow_extensions() {
        BootEntry& entry = catalog_.entries.back();
        bool more = (entry.media_type & cat::kMediaExtensionFollows) != 0 && entry.section != 0;
        unsigned char e[cat::kEntrySize];
        while (more) {
            if (!peek(e)) {
                return false;
            }
            if (e[0] != cat::kExtensionIndicator) {
                catalog_.entries.back().extension_missing = true;
                return true;
            }
            next(e);
            ++catalog_.entries.back().extensions;
            more = (e[cat::kExtensionFlags] & cat::kExtensionFollows) != 0;
        }
        return true;
    }

    static bool is_header(std::uint8_t indicator) {
        return indicator == cat::kMoreHeaders || indicator == cat::kFinalHeader;
    }
    static bool is_boot_entry(std::uint8_t indicator) {
        return indicator == cat::kBootable || indicator == cat::kNotBootable;
    }
    static bool is_empty(const unsigned char* e) {
        for (std::size_t i = 0; i < cat::kEntrySize; ++i) {
            if (e[i] != 0) {
                return false;
            }
        }
        return true;
    }

    // A section header where one is expected, and its entries. False when the
    // walk has ended.
    bool header() {
        unsigned char e[cat::kEntrySize];
        if (!peek(e)) {
            return false;
        }
        const std::uint8_t indicator = e[cat::kHeaderIndicator];
        if (indicator == 0) {
            stop(CatalogEnd::no_more_entries);
            return false;
        }
        // Only 0x90 and 0x91 start a section; firmware stops at anything else.
        if (!is_header(indicator)) {
            stop_unexpected(indicator, true);
            return false;
        }
        next(e);
        SectionHeader section;
        section.index = index_ - 1;
        section.header_indicator = indicator;
        section.platform_id = e[cat::kHeaderPlatformId];
        section.entry_count = le16_at(e, cat::kSectionEntryCount);
        section.id_string = text_of(e + cat::kHeaderIdString, cat::kHeaderIdStringSize);
        section.entries_found = 0;
        catalog_.sections.push_back(section);
        const std::uint32_t number = static_cast<std::uint32_t>(catalog_.sections.size());
        const bool final_header = indicator == cat::kFinalHeader;
        if (final_header) {
            catalog_.final_header_seen = true;
        }
        for (std::uint32_t i = 0; i < section.entry_count; ++i) {
            if (!peek(e)) {
                return false;
            }
            // A header or an empty entry where an entry is due: the section
            // declared more entries than stand in it. Anything else that is
            // not a boot entry ends the walk.
            if (is_header(e[0]) || is_empty(e)) {
                break;
            }
            if (!is_boot_entry(e[0])) {
                stop_unexpected(e[0], false);
                return false;
            }
            next(e);
            add_entry(e, number, i + 1, section.platform_id);
            ++catalog_.sections.back().entries_found;
            if (!follow_extensions()) {
                return false;
            }
        }
        if (final_header) {
            stop(CatalogEnd::final_section);
            return false;
        }
        return true;
    }

    Reading& r_;
    BootCatalog& catalog_;
    std::uint32_t index_ = 0;
};

void read_boot_catalog(Reading& r) {
    BootCatalog catalog{};
    catalog.sector = r.model.boot_record->catalog_sector;
    catalog.end = CatalogEnd::end_of_image;
    catalog.final_header_seen = false;
    CatalogWalk(r, catalog).run();
    r.model.boot_catalog = std::move(catalog);
}

}  // namespace

std::uint64_t image_end(const ImageModel& model) {
    return model.size_known ? model.image_size : ~std::uint64_t{0};
}

std::uint32_t catalog_entry_sector(const BootCatalog& catalog, std::uint32_t index) {
    return catalog.sector + static_cast<std::uint32_t>(index * layout::catalog::kEntrySize / layout::kSector);
}

void read_model(ImageSource& source, const char* path, const ModelOptions& options,
                ImageModel& model) {
    model = ImageModel{};
    model.path = path;
    model.size_known = source.size_known;
    model.image_size = source.size;
    Reading r{source, model, image_end(model), {}};
    read_system_area(r);
    read_volume_descriptors(r);
    read_boot_record(r);
    if (model.boot_record && model.boot_record->el_torito) {
        read_boot_catalog(r);
    }
    if (options.files) {
        name_files(source, model);
    }
}
