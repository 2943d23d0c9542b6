#include "eltorito.hpp"

#include "read.hpp"
#include "report.hpp"

namespace {

namespace cat = layout::catalog;
namespace table = layout::boot_table;

// The number of 512-byte sectors a boot entry stands for: a floppy
// emulation's full disk, or the entry's own count for any other media byte
// (the whole byte decides, flag bits included).
std::uint16_t virtual_sector_count(std::uint8_t boot_media_type, std::uint16_t own_count) {
    switch (boot_media_type) {
        case 1: return layout::kFloppySectors12;   // 1.2 MB floppy
        case 2: return layout::kFloppySectors144;  // 1.44 MB floppy
        case 3: return layout::kFloppySectors288;  // 2.88 MB floppy
        default: return own_count;
    }
}

// An initial/default entry or a section entry, then its boot image's table.
void boot_entry_report(Run& run, std::size_t entry) {
    Output& out = run.out;
    const unsigned char* sector_buffer = run.buffers.sector_buffer;
    const std::uint8_t boot_indicator = u8_at(sector_buffer, entry + cat::kBootIndicator);
    const std::uint8_t boot_media_type = u8_at(sector_buffer, entry + cat::kMediaType);
    const std::uint16_t sector_count = le16_at(sector_buffer, entry + cat::kSectorCount);
    const Sector starting_sector = le32_at(sector_buffer, entry + cat::kLoadSector);

    hex_line(out, "boot_indicator:$", boot_indicator, 2);
    decimal_line(out, "boot_media_type:", boot_media_type);
    sector_line(out, "starting_sector:$", starting_sector);
    count_line(out, "virtual_sector_count:$", virtual_sector_count(boot_media_type, sector_count));
    boot_table_probe(run, starting_sector);
}

}  // namespace

void boot_catalog_section(Run& run, Sector catalog) {
    Output& out = run.out;
    const unsigned char* sector_buffer = run.buffers.sector_buffer;
    heading_line(out, "boot-catalog");
    read_at(run, byte_position(catalog), run.buffers.sector_buffer, kSectorBufferSize);

    heading_line(out, "->Validation Entry [entry #0]");
    decimal_line(out, "platform_id:", u8_at(sector_buffer, cat::kPlatformId));
    text_line(out, "manufacturer:", raw_text(sector_buffer + cat::kIdString, 17));

    heading_line(out, "->Initial/Default Entry");
    boot_entry_report(run, cat::kInitialEntry);

    // Any nonzero first byte makes the third entry a section header; only it
    // and its first section entry are reported.
    const std::size_t header = cat::kFirstHeader;
    const std::uint8_t header_indicator = u8_at(sector_buffer, header + cat::kHeaderIndicator);
    if (header_indicator == 0) {
        return;
    }
    heading_line(out, "->Section Header Entry [entry #1]");
    hex_line(out, "header_indicator:$", header_indicator, 2);
    hex_line(out, "platform_id:$", u8_at(sector_buffer, header + cat::kHeaderPlatformId), 2);
    // Decimal, although the label ends in "$".
    decimal_line(out, "Number_of_section_entries:$",
                 le16_at(sector_buffer, header + cat::kSectionEntryCount));
    text_line(out, "id_string:", raw_text(sector_buffer + header + cat::kHeaderIdString, 27));
    heading_line(out, "->Section Entry");
    boot_entry_report(run, cat::kFirstSectionEntry);
}

void boot_table_probe(Run& run, Sector load_sector) {
    Output& out = run.out;
    const unsigned char* boot_table = run.buffers.boot_table;
    read_at(run, byte_position(load_sector), run.buffers.boot_table, kBootTableSize);

    const Sector bi_file_lba = le32_at(boot_table, table::kFileSector);
    if (bi_file_lba != load_sector) {
        return;  // other bytes stand where a table would be
    }
    sector_line(out, "boot_table.bi_pvd_lba:$", le32_at(boot_table, table::kPvdSector));
    sector_line(out, "boot_table.bi_file_lba:$", bi_file_lba);
    decimal_line(out, "boot_table.bi_length:", le32_at(boot_table, table::kLength));
    // The checksum's four bytes in the order they stand in the image.
    hex_line(out, "boot_table.bi_csum:$", swap_bytes32(le32_at(boot_table, table::kChecksum)), 8);
}
