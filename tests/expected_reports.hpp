// Expected report text that several tests share, written out from what the
// fixtures hold.
#pragma once

#include <cstddef>
#include <string>

// Inline, like kZeroReport below, so that they are built before it: a
// per-file constant may still be empty when another test file's copy of
// kZeroReport is built from it.
inline const std::string kBanner = "tolvane 0.2 by tolvane-maintainers@example.org\r\n";
inline const std::string kSeparator = "*****************************************\r\n";

// A field's text padded with spaces to its width, as mastering tools store it.
inline std::string pad(const std::string& text, std::size_t width) {
    return text + std::string(width - text.size(), ' ');
}
inline std::string nuls(std::size_t count) { return std::string(count, '\0'); }

// The "Primary volume" section of an image built with put_primary_volume()
// and the builder's default VolumeFields, but for the volume identifier.
inline std::string fixture_volume_section(const std::string& volume = "TOLVANE_TEST") {
    return "Primary volume\r\n"
           "Standard Identifier:CD001\r\n"
           "System Identifier:" + pad("LINUX", 32) + "\r\n"
           "Volume Identifier:" + pad(volume, 32) + "\r\n"
           "Volume Set Identifier:" + pad("SET", 128) + "\r\n"
           "Publisher Identifier:" + pad("PUBLISHER", 128) + "\r\n"
           "Data Preparer Identifier:" + pad("PREPARER", 128) + "\r\n"
           "Application Identifier:" + pad("APPLICATION", 128) + "\r\n"
           "Logical Blocksize:2048\r\n"
           "Volume Size:64 blocks. 0MB\r\n"
           "path_table:$00009800 (38912)\r\n"
           "root_directory:$0000A800 (43008)\r\n";
}

// The "boot-record-volume" section of an El Torito boot record whose catalog
// pointer is shown as `catalog` ("$00000014 (40960)").
inline std::string boot_record_section(const std::string& catalog) {
    return "boot-record-volume\r\n"
           "ISO9660_Identifier:CD001\r\n"
           "Boot_System_identifier:EL TORITO SPECIFICATION\r\n"
           "first_sector_of_Boot_Catalog:" + catalog + "\r\n";
}

// What follows the "Primary volume" section in the report of an image whose
// boot record, catalog and boot image all read as zero bytes.
inline const std::string kZeroBootSections =
    kSeparator +
    "boot-record-volume\r\n"
    "ISO9660_Identifier:" + nuls(5) + "\r\n"
    "Boot_System_identifier:" + nuls(23) + "\r\n"
    "first_sector_of_Boot_Catalog:$00000000 (0)\r\n" +
    kSeparator +
    "boot-catalog\r\n"
    "->Validation Entry [entry #0]\r\n"
    "platform_id:0\r\n"
    "manufacturer:" + nuls(17) + "\r\n"
    "->Initial/Default Entry\r\n"
    "boot_indicator:$00\r\n"
    "boot_media_type:0\r\n"
    "starting_sector:$00000000 (0)\r\n"
    "virtual_sector_count:$0000 (0)\r\n"
    "boot_table.bi_pvd_lba:$00000000 (0)\r\n"
    "boot_table.bi_file_lba:$00000000 (0)\r\n"
    "boot_table.bi_length:0\r\n"
    "boot_table.bi_csum:$00000000\r\n";

// The report of an image whose every structure reads as zero bytes.
inline const std::string kZeroReport =
    kBanner + kSeparator +
    "Primary volume\r\n"
    "Standard Identifier:" + nuls(5) + "\r\n"
    "System Identifier:" + nuls(32) + "\r\n"
    "Volume Identifier:" + nuls(32) + "\r\n"
    "Volume Set Identifier:" + nuls(128) + "\r\n"
    "Publisher Identifier:" + nuls(128) + "\r\n"
    "Data Preparer Identifier:" + nuls(128) + "\r\n"
    "Application Identifier:" + nuls(128) + "\r\n"
    "Logical Blocksize:0\r\n"
    "Volume Size:0 blocks. 0MB\r\n"
    "path_table:$00000000 (0)\r\n"
    "root_directory:$00000000 (0)\r\n" +
    kZeroBootSections;
