// The image model: everything tolvane knows about one image, read once, for
// the JSON output, the checks and the taking out of boot images to render or
// judge. Bytes past the end of the image are absent, never zero: a structure
// the image does not hold whole is left out (an empty optional, a shorter
// list), and every walk is bounded whatever the image claims.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image.hpp"

// Bounds of the walks.
constexpr std::size_t kMostVolumeDescriptors = 64;
constexpr std::size_t kMostCatalogEntries = 2048;  // 64 KiB of catalog

// Text fields hold the bytes exactly as stored, all of them, padding included.
struct VolumeDescriptorInfo {
    std::uint32_t sector;
    std::uint8_t type;
    std::string identifier;  // the standard identifier, 5 bytes
    std::uint8_t version;
};

struct PrimaryVolume {
    std::uint32_t sector;
    std::string system_identifier;
    std::string volume_identifier;
    std::string volume_set_identifier;
    std::string publisher_identifier;
    std::string data_preparer_identifier;
    std::string application_identifier;
    std::uint16_t logical_block_size;
    std::uint32_t volume_space_size;
    std::uint32_t path_table_sector;
    std::uint32_t root_directory_sector;
    std::uint32_t root_directory_length;  // bytes, from the root directory's record
};

// A descriptor of type 0 with "CD001" at sector 17.
struct BootRecord {
    std::uint32_t sector;
    std::string boot_system_identifier;  // all 32 bytes
    std::uint32_t catalog_sector;
    bool el_torito;  // the identifier is "EL TORITO SPECIFICATION", NUL-padded
};

struct ValidationEntry {
    std::uint8_t header_id;
    std::uint8_t platform_id;
    std::string id_string;   // 24 bytes
    std::uint16_t checksum;  // bytes 28 and 29, as stored
    std::uint16_t word_sum;  // of the entry's sixteen 16-bit words, mod 2^16
    std::uint8_t key[2];     // bytes 30 and 31
    bool checksum_valid() const { return word_sum == 0; }
    bool key_valid() const { return key[0] == 0x55 && key[1] == 0xAA; }
};

struct SectionHeader {
    std::uint32_t index;         // the catalog entry it stands in
    std::uint8_t header_indicator;
    std::uint8_t platform_id;
    std::uint16_t entry_count;   // as declared
    std::string id_string;       // 28 bytes
    std::uint32_t entries_found; // section entries that stood there
};

struct BootInfoTable {
    std::uint32_t pvd_sector;
    bool pvd_sector_holds_primary;              // a primary volume descriptor stands there
    std::uint32_t file_sector;
    std::uint32_t length;
    std::uint32_t checksum;                     // as stored (little-endian)
    std::optional<std::uint32_t> computed;      // absent when the length runs past the image
    std::optional<bool> checksum_valid() const {
        if (!computed) return std::nullopt;
        return *computed == checksum;
    }
};

// What the first 512 bytes of a boot image show, when the image holds them.
struct BootImageStart {
    bool mbr_signature;          // 55 AA at byte 510
    std::uint64_t mbr_disk_end;  // bytes: the end of the partition that ends last; 0 when none
    std::uint64_t fat_size;      // bytes: a FAT boot sector's size; 0 when not one
};

struct BootEntry {
    std::uint32_t index;         // the catalog entry it stands in (1: initial/default)
    std::uint32_t section;       // 0: initial/default entry; k: the k-th section
    std::uint32_t number_in_section;  // 1-based; 0 for the initial/default entry
    std::uint8_t platform_id;
    std::uint8_t boot_indicator;
    std::uint8_t media_type;     // the whole byte, flag bits included
    std::uint16_t load_segment;
    std::uint8_t system_type;
    std::uint16_t sector_count;
    std::uint32_t load_sector;
    std::uint8_t selection_criteria;
    std::uint32_t extensions;    // extension entries (0x44) that follow it
    bool extension_missing;      // bit 5 of the media byte set, but no extension follows
    std::optional<BootInfoTable> boot_info_table;
    std::optional<BootImageStart> start;
    std::optional<std::string> file;   // the ISO 9660 file whose extent starts at the load sector
    std::uint64_t file_size;           // its size in bytes, when `file`

    bool bootable() const { return boot_indicator == 0x88; }
    unsigned emulation() const { return media_type & 0x0F; }
};

// Why the catalog walk stopped.
enum class CatalogEnd {
    final_section,     // after the final header's entries
    no_more_entries,   // where a header was expected stood an empty entry
    unexpected_entry,  // where a header or a section entry was expected stood something else
    end_of_image,
    entry_bound,       // kMostCatalogEntries entries were read
    read_error,
};

struct BootCatalog {
    std::uint32_t sector;
    std::optional<ValidationEntry> validation_entry;
    std::vector<SectionHeader> sections;
    std::vector<BootEntry> entries;
    CatalogEnd end;
    std::uint32_t end_index;     // the entry at which the walk stopped
    std::uint8_t end_byte;       // unexpected_entry: that entry's first byte
    bool end_where_header_due;   // unexpected_entry: a header was due there, not a section entry
    bool final_header_seen;
    std::optional<std::string> file;   // the catalog's path in the directory tree
};

struct Partition {
    unsigned number;             // 1 to 4
    std::uint8_t status;
    std::uint8_t type;
    std::uint32_t first_sector;  // 512-byte sectors
    std::uint32_t sectors;
    bool bootable() const { return status == 0x80; }
};

struct SystemArea {
    bool mbr_signature;
    std::vector<Partition> partitions;  // the entries that are not empty, when the signature is there
    bool gpt;
};

enum class Severity { error, warning };

struct Finding {
    Severity severity;
    std::string where;
    std::string message;
};

struct ImageModel {
    std::string path;            // as given
    bool size_known;
    std::uint64_t image_size;    // bytes
    std::optional<SystemArea> system_area;
    std::vector<VolumeDescriptorInfo> volume_descriptors;
    bool terminator_found;       // the walk reached a set terminator (type 255)
    std::optional<PrimaryVolume> primary_volume;
    std::optional<BootRecord> boot_record;
    std::optional<BootCatalog> boot_catalog;  // read when the boot record is El Torito's
    std::vector<Finding> findings;
    // The first read that failed with an error from the system, if any.
    bool read_failed;
    std::uint64_t read_error_position;
    std::string read_error_reason;
};

struct ModelOptions {
    bool files;  // walk the directory tree to name the catalog's and boot images' files
};

// Reads the whole model of the open image.
void read_model(ImageSource& source, const char* path, const ModelOptions& options,
                ImageModel& model);

// The end of the image in bytes, for judging what lies past it: the known
// size, or no end at all when the size could not be learnt.
std::uint64_t image_end(const ImageModel& model);

// The sector of the catalog that holds entry `index`.
std::uint32_t catalog_entry_sector(const BootCatalog& catalog, std::uint32_t index);
