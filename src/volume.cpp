#include "volume.hpp"

#include "report.hpp"
#include "tolvane.hpp"

namespace {

constexpr Sector kPrimaryVolumeSector = 16;
constexpr Sector kBootRecordSector = 17;

}  // namespace

void primary_volume_section(Run& run) {
    Output& out = run.out;
    const unsigned char* pvd_record = run.buffers.pvd_record;
    heading_line(out, "Primary volume");
    read_at(run, byte_position(kPrimaryVolumeSector), run.buffers.pvd_record, kPvdRecordSize);

    text_line(out, "Standard Identifier:", field_text(pvd_record + 1, 5));
    text_line(out, "System Identifier:", field_text(pvd_record + 8, 32));
    text_line(out, "Volume Identifier:", field_text(pvd_record + 40, 32));
    text_line(out, "Volume Set Identifier:", field_text(pvd_record + 190, 128));
    text_line(out, "Publisher Identifier:", field_text(pvd_record + 318, 128));
    text_line(out, "Data Preparer Identifier:", field_text(pvd_record + 446, 128));
    text_line(out, "Application Identifier:", field_text(pvd_record + 574, 128));
    decimal_line(out, "Logical Blocksize:", le16_at(pvd_record, 128));
    blocks_line(out, "Volume Size:", le32_at(pvd_record, 80));
    position_line(out, "path_table:$", le32_at(pvd_record, 140));
    position_line(out, "root_directory:$", le32_at(pvd_record, 158));
}

Sector boot_record_section(Run& run) {
    Output& out = run.out;
    const unsigned char* sector_buffer = run.buffers.sector_buffer;
    heading_line(out, "boot-record-volume");
    read_at(run, byte_position(kBootRecordSector), run.buffers.sector_buffer, kSectorBufferSize);

    // Only the first 23 of the boot system identifier's 32 bytes are shown.
    text_line(out, "ISO9660_Identifier:", raw_text(sector_buffer + 1, 5));
    text_line(out, "Boot_System_identifier:", raw_text(sector_buffer + 7, 23));
    const Sector first_sector_of_Boot_Catalog = le32_at(sector_buffer, 71);
    sector_line(out, "first_sector_of_Boot_Catalog:$", first_sector_of_Boot_Catalog);
    return first_sector_of_Boot_Catalog;
}
