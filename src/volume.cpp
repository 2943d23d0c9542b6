#include "volume.hpp"

#include "read.hpp"
#include "report.hpp"

namespace {

namespace pvd = layout::pvd;

constexpr Sector kPrimaryVolumeSector = layout::kFirstDescriptorSector;
constexpr Sector kBootRecordSector = layout::kBootRecordSector;

}  // namespace

void primary_volume_section(Run& run) {
    Output& out = run.out;
    const unsigned char* pvd_record = run.buffers.pvd_record;
    heading_line(out, "Primary volume");
    read_at(run, byte_position(kPrimaryVolumeSector), run.buffers.pvd_record, kPvdRecordSize);

    text_line(out, "Standard Identifier:",
              field_text(pvd_record + layout::descriptor::kIdentifier, layout::descriptor::kIdentifierSize));
    text_line(out, "System Identifier:", field_text(pvd_record + pvd::kSystemId, pvd::kSystemIdSize));
    text_line(out, "Volume Identifier:", field_text(pvd_record + pvd::kVolumeId, pvd::kVolumeIdSize));
    text_line(out, "Volume Set Identifier:",
              field_text(pvd_record + pvd::kVolumeSetId, pvd::kVolumeSetIdSize));
    text_line(out, "Publisher Identifier:",
              field_text(pvd_record + pvd::kPublisherId, pvd::kPublisherIdSize));
    text_line(out, "Data Preparer Identifier:",
              field_text(pvd_record + pvd::kPreparerId, pvd::kPreparerIdSize));
    text_line(out, "Application Identifier:",
              field_text(pvd_record + pvd::kApplicationId, pvd::kApplicationIdSize));
    decimal_line(out, "Logical Blocksize:", le16_at(pvd_record, pvd::kLogicalBlockSize));
    blocks_line(out, "Volume Size:", le32_at(pvd_record, pvd::kVolumeSpaceSize));
    position_line(out, "path_table:$", le32_at(pvd_record, pvd::kPathTableL));
    position_line(out, "root_directory:$", le32_at(pvd_record, pvd::kRootExtent));
}

Sector boot_record_section(Run& run) {
    Output& out = run.out;
    const unsigned char* sector_buffer = run.buffers.sector_buffer;
    heading_line(out, "boot-record-volume");
    read_at(run, byte_position(kBootRecordSector), run.buffers.sector_buffer, kSectorBufferSize);

    // Only the first 23 of the boot system identifier's 32 bytes are shown.
    text_line(out, "ISO9660_Identifier:",
              raw_text(sector_buffer + layout::descriptor::kIdentifier, layout::descriptor::kIdentifierSize));
    text_line(out, "Boot_System_identifier:", raw_text(sector_buffer + layout::boot_record::kSystemId, 23));
    const Sector first_sector_of_Boot_Catalog = le32_at(sector_buffer, layout::boot_record::kCatalogSector);
    sector_line(out, "first_sector_of_Boot_Catalog:$", first_sector_of_Boot_Catalog);
    return first_sector_of_Boot_Catalog;
}
