// Whole-report comparisons on images built in memory.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "expected_reports.hpp"
#include "image_builder.hpp"
#include "tolvane.hpp"

namespace {


struct Result {
    int status;
    std::string report;
    std::string diagnostics;
};

Result report_of(const ImageBuilder& image) {
    Result result;
    result.status = report_memory_image(image.bytes().data(), image.size(), false, &result.report,
                                        &result.diagnostics);
    return result;
}

// A bootable image: catalog at sector 32, a no-emulation boot image with a
// boot information table at sector 34, and a section with a second boot
// image (no table) at sector 36.
ImageBuilder bootable_image() {
    ImageBuilder image(40 * kSector);
    put_primary_volume(image, VolumeFields{});
    put_boot_record(image, 32);
    const std::uint64_t catalog = 32 * kSector;
    image.put_u8(catalog + 0, 1).put_u8(catalog + 1, 0).put(catalog + 4, "TOLVANE TEST MAKER");
    image.put_le16(catalog + 28, 0x1234).put_u8(catalog + 30, 0x55).put_u8(catalog + 31, 0xAA);
    put_boot_entry(image, catalog + 32, 0x88, 0, 4, 34);
    image.put_u8(catalog + 64, 0x91).put_u8(catalog + 65, 0xEF).put_le16(catalog + 66, 1);
    image.put(catalog + 68, "SECTION ID STRING 28 BYTES!!");
    put_boot_entry(image, catalog + 96, 0x88, 0, 8, 36);
    put_boot_table(image, 34, 16, 34, 2048, "\x0A\x1B\x2C\x3D");
    image.put(36 * kSector, "EFI BOOT IMAGE, NO TABLE");
    return image;
}

const std::string kSectionLines =
    "->Section Header Entry [entry #1]\r\n"
    "header_indicator:$91\r\n"
    "platform_id:$EF\r\n"
    "Number_of_section_entries:$1\r\n"
    "id_string:SECTION ID STRING 28 BYTES!\r\n"
    "->Section Entry\r\n"
    "boot_indicator:$88\r\n"
    "boot_media_type:0\r\n"
    "starting_sector:$00000024 (73728)\r\n"
    "virtual_sector_count:$0008 (4096)\r\n";
const std::string kTableLines =
    "boot_table.bi_pvd_lba:$00000010 (32768)\r\n"
    "boot_table.bi_file_lba:$00000022 (69632)\r\n"
    "boot_table.bi_length:2048\r\n"
    "boot_table.bi_csum:$0A1B2C3D\r\n";

const std::string kBootableReport =
    kBanner + kSeparator +
    fixture_volume_section() +
    kSeparator +
    boot_record_section("$00000020 (65536)") +
    kSeparator +
    "boot-catalog\r\n"
    "->Validation Entry [entry #0]\r\n"
    "platform_id:0\r\n"
    "manufacturer:TOLVANE TEST MAKE\r\n"
    "->Initial/Default Entry\r\n"
    "boot_indicator:$88\r\n"
    "boot_media_type:0\r\n"
    "starting_sector:$00000022 (69632)\r\n"
    "virtual_sector_count:$0004 (2048)\r\n" +
    kTableLines + kSectionLines;

// Replaces the one occurrence of `from` in `text` (a whole line or run of
// lines); fails the test when it is not there exactly once.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "expected text lacks: " << from;
    EXPECT_EQ(text.find(from, at + 1), std::string::npos) << "ambiguous: " << from;
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

TEST(Report, BootableImageGivesEveryLine) {
    const Result result = report_of(bootable_image());
    EXPECT_EQ(result.report, kBootableReport);
    EXPECT_EQ(result.diagnostics, "");
    EXPECT_EQ(result.status, 0);
}

// One change to the bootable image and the lines it changes in its report.
struct Variant {
    const char* name;
    std::function<void(ImageBuilder&)> change;
    std::vector<std::pair<std::string, std::string>> lines;  // from, to
};

const std::uint64_t kPvd = 16 * kSector;
const std::uint64_t kCatalog = 32 * kSector;
const std::vector<Variant> kVariants = {
    {"identifier of spaces only is empty",
     [](ImageBuilder& i) { i.put(kPvd + 574, std::string(128, ' ')); },
     {{"Application Identifier:" + pad("APPLICATION", 128) + "\r\n", "Application Identifier:\r\n"}}},
    {"identifier of NUL bytes is written as stored",
     [](ImageBuilder& i) { i.put(kPvd + 8, nuls(32)); },
     {{"System Identifier:" + pad("LINUX", 32), "System Identifier:" + nuls(32)}}},
    {"identifier with inner and leading spaces kept whole",
     [](ImageBuilder& i) { i.put(kPvd + 40, pad(" MY  DISC", 32)); },
     {{"Volume Identifier:" + pad("TOLVANE_TEST", 32), "Volume Identifier:" + pad(" MY  DISC", 32)}}},
    {"boot system identifier cut at 23 bytes",
     [](ImageBuilder& i) { i.put(17 * kSector + 7, "EL TORITO SPECIFICATIONXXXXXXXXX"); },
     {}},
    {"a block size other than 2048 changes only its line",
     [](ImageBuilder& i) { i.put_both16(kPvd + 128, 512); },
     {{"Logical Blocksize:2048", "Logical Blocksize:512"}}},
    {"volume of 511 and 512 sectors",
     [](ImageBuilder& i) { i.put_both32(kPvd + 80, 511); },
     {{"Volume Size:64 blocks. 0MB", "Volume Size:511 blocks. 0MB"}}},
    {"volume of 512 sectors is 1MB",
     [](ImageBuilder& i) { i.put_both32(kPvd + 80, 512); },
     {{"Volume Size:64 blocks. 0MB", "Volume Size:512 blocks. 1MB"}}},
    {"volume and path table at and above 4 GiB",
     [](ImageBuilder& i) {
         i.put_both32(kPvd + 80, 0xFFFFFFFFu);
         i.put_le32(kPvd + 140, 0x200000);
         i.put_le32(kPvd + 158, 0xFFFFFFFFu);
     },
     {{"Volume Size:64 blocks. 0MB", "Volume Size:4294967295 blocks. 8388607MB"},
      {"path_table:$00009800 (38912)", "path_table:$100000000 (4294967296)"},
      {"root_directory:$0000A800 (43008)", "root_directory:$7FFFFFFF800 (8796093020160)"}}},
    {"validation entry's platform id is its byte 1 alone",
     [](ImageBuilder& i) { i.put_u8(kCatalog + 1, 0xEF).put_u8(kCatalog + 2, 0x02); },
     {{"platform_id:0\r\n", "platform_id:239\r\n"}}},
    {"floppy media 1 is 2400 sectors whatever its own count",
     [](ImageBuilder& i) { i.put_u8(kCatalog + 33, 1); },
     {{"boot_media_type:0\r\nstarting_sector:$00000022 (69632)\r\nvirtual_sector_count:$0004 (2048)",
       "boot_media_type:1\r\nstarting_sector:$00000022 (69632)\r\nvirtual_sector_count:$0960 (1228800)"}}},
    {"floppy media 2 is 2880 sectors",
     [](ImageBuilder& i) { i.put_u8(kCatalog + 33, 2); },
     {{"boot_media_type:0\r\nstarting_sector:$00000022 (69632)\r\nvirtual_sector_count:$0004 (2048)",
       "boot_media_type:2\r\nstarting_sector:$00000022 (69632)\r\nvirtual_sector_count:$0B40 (1474560)"}}},
    {"floppy media 3 is 5760 sectors",
     [](ImageBuilder& i) { i.put_u8(kCatalog + 33, 3); },
     {{"boot_media_type:0\r\nstarting_sector:$00000022 (69632)\r\nvirtual_sector_count:$0004 (2048)",
       "boot_media_type:3\r\nstarting_sector:$00000022 (69632)\r\nvirtual_sector_count:$1680 (2949120)"}}},
    {"media byte with flag bits keeps the entry's own count",
     [](ImageBuilder& i) { i.put_u8(kCatalog + 97, 33); },
     {{"boot_media_type:0\r\nstarting_sector:$00000024 (73728)",
       "boot_media_type:33\r\nstarting_sector:$00000024 (73728)"}}},
    {"header indicator 0 ends the catalog after the initial entry",
     [](ImageBuilder& i) { i.put_u8(kCatalog + 64, 0); },
     {{kSectionLines, ""}}},
    {"header indicator 0x90 (more headers follow)",
     [](ImageBuilder& i) { i.put_u8(kCatalog + 64, 0x90); },
     {{"header_indicator:$91", "header_indicator:$90"}}},
    {"any other nonzero header indicator",
     [](ImageBuilder& i) { i.put_u8(kCatalog + 64, 0x01); },
     {{"header_indicator:$91", "header_indicator:$01"}}},
    {"a header counting several entries reports only the first, count in decimal",
     [](ImageBuilder& i) {
         i.put_le16(kCatalog + 66, 300);
         put_boot_entry(i, kCatalog + 128, 0x88, 2, 1, 38);
     },
     {{"Number_of_section_entries:$1", "Number_of_section_entries:$300"}}},
    {"boot image without a table prints no table lines",
     [](ImageBuilder& i) { i.put_le32(34 * kSector + 12, 35); },
     {{kTableLines, ""}}},
    {"a section entry's boot table is reported too",
     [](ImageBuilder& i) { put_boot_table(i, 36, 16, 36, 4096, std::string("\xFF\x00\x01\x80", 4)); },
     {{"virtual_sector_count:$0008 (4096)\r\n",
       "virtual_sector_count:$0008 (4096)\r\n"
       "boot_table.bi_pvd_lba:$00000010 (32768)\r\n"
       "boot_table.bi_file_lba:$00000024 (73728)\r\n"
       "boot_table.bi_length:4096\r\n"
       "boot_table.bi_csum:$FF000180\r\n"}}},
    {"manufacturer and id string keep NUL and control bytes",
     [](ImageBuilder& i) {
         i.put(kCatalog + 4, std::string("A\0B\x1b[2J\x07\x7f\xff", 10));
         i.put(kCatalog + 68, std::string(28, '\0'));
     },
     {{"manufacturer:TOLVANE TEST MAKE", "manufacturer:" + std::string("A\0B\x1b[2J\x07\x7f\xffST MAKE", 17)},
      {"id_string:SECTION ID STRING 28 BYTES!", "id_string:" + nuls(27)}}},
};

TEST(Report, VariantsChangeOnlyTheirLines) {
    for (const Variant& variant : kVariants) {
        SCOPED_TRACE(variant.name);
        ImageBuilder image = bootable_image();
        variant.change(image);
        std::string expected = kBootableReport;
        for (const auto& line : variant.lines) {
            expected = replaced(expected, line.first, line.second);
        }
        const Result result = report_of(image);
        EXPECT_EQ(result.report, expected);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.diagnostics, "");
    }
}

TEST(Report, LoadSectorAtFourGibibytesIsWrittenWhole) {
    // The boot image lies past the end of this small image: its table reads
    // as zero bytes and names sector 0, not its own, so no table lines.
    ImageBuilder image = bootable_image();
    image.put_le32(kCatalog + 32 + 8, 0x200000);
    const Result result = report_of(image);
    std::string expected = replaced(kBootableReport,
                                    "starting_sector:$00000022 (69632)\r\n"
                                    "virtual_sector_count:$0004 (2048)\r\n" + kTableLines,
                                    "starting_sector:$00200000 (4294967296)\r\n"
                                    "virtual_sector_count:$0004 (2048)\r\n");
    EXPECT_EQ(result.report, expected);
    EXPECT_EQ(result.diagnostics,
              "tolvane: warning: (memory): 64 of the 64 bytes at byte position 4294967296 "
              "lie past the end of the image; read as zero bytes\n");
    EXPECT_EQ(result.status, 0);
}

TEST(Report, EmptyImageReadsAsZeroBytesWithAWarningPerRead) {
    const Result result = report_of(ImageBuilder());
    EXPECT_EQ(result.report, kZeroReport);
    EXPECT_EQ(result.diagnostics,
              "tolvane: warning: (memory): 2048 of the 2048 bytes at byte position 32768 "
              "lie past the end of the image; read as zero bytes\n"
              "tolvane: warning: (memory): 512 of the 512 bytes at byte position 34816 "
              "lie past the end of the image; read as zero bytes\n"
              "tolvane: warning: (memory): 512 of the 512 bytes at byte position 0 "
              "lie past the end of the image; read as zero bytes\n"
              "tolvane: warning: (memory): 64 of the 64 bytes at byte position 0 "
              "lie past the end of the image; read as zero bytes\n");
    EXPECT_EQ(result.status, 0);
}

TEST(Report, ImageEndingInsideTheVolumeDescriptorKeepsWhatArrived) {
    // Ends after the application identifier's first byte: the rest is zero.
    ImageBuilder image = bootable_image();
    image.resize(16 * kSector + 575);
    const Result result = report_of(image);
    std::string expected = kZeroReport;
    expected = replaced(expected, "Standard Identifier:" + nuls(5), "Standard Identifier:CD001");
    for (const auto& field : std::vector<std::pair<std::string, std::string>>{
             {"System Identifier:", pad("LINUX", 32)},
             {"Volume Identifier:", pad("TOLVANE_TEST", 32)}}) {
        expected = replaced(expected, field.first + nuls(32), field.first + field.second);
    }
    expected = replaced(expected, "Volume Set Identifier:" + nuls(128), "Volume Set Identifier:" + pad("SET", 128));
    expected = replaced(expected, "Publisher Identifier:" + nuls(128), "Publisher Identifier:" + pad("PUBLISHER", 128));
    expected = replaced(expected, "Data Preparer Identifier:" + nuls(128), "Data Preparer Identifier:" + pad("PREPARER", 128));
    expected = replaced(expected, "Application Identifier:" + nuls(128), "Application Identifier:A" + nuls(127));
    expected = replaced(expected, "Logical Blocksize:0\r\nVolume Size:0 blocks. 0MB\r\npath_table:$00000000 (0)\r\nroot_directory:$00000000 (0)",
                        "Logical Blocksize:2048\r\nVolume Size:64 blocks. 0MB\r\npath_table:$00009800 (38912)\r\nroot_directory:$0000A800 (43008)");
    EXPECT_EQ(result.report, expected);
    EXPECT_NE(result.diagnostics.find("1473 of the 2048 bytes at byte position 32768"), std::string::npos)
        << result.diagnostics;
    EXPECT_EQ(result.status, 0);
}

TEST(Report, CatalogPastTheEndIsNeverReadFromTheBootRecordsBytes) {
    // The boot record names sector 1000 of a 40-sector image. The catalog
    // must read as zero bytes, not as what the boot record left behind.
    ImageBuilder image = bootable_image();
    image.put_le32(17 * kSector + 71, 1000);
    const Result result = report_of(image);
    const std::string expected = replaced(
        kBootableReport.substr(0, kBootableReport.find("boot-catalog\r\n")) +
            kZeroReport.substr(kZeroReport.find("boot-catalog\r\n")),
        "first_sector_of_Boot_Catalog:$00000020 (65536)", "first_sector_of_Boot_Catalog:$000003E8 (2048000)");
    EXPECT_EQ(result.report, expected);
    EXPECT_EQ(result.diagnostics,
              "tolvane: warning: (memory): 512 of the 512 bytes at byte position 2048000 "
              "lie past the end of the image; read as zero bytes\n");
}

TEST(Report, SecondProbeNeverSeesTheFirstProbesBytes) {
    // The section's boot image at sector 36 holds a table naming itself, but
    // the image ends before its checksum: the checksum reads as zero bytes,
    // not as the checksum of the first boot image's table.
    ImageBuilder image = bootable_image();
    put_boot_table(image, 36, 16, 36, 4096, "\x11\x22\x33\x44");
    image.resize(36 * kSector + 20);
    const Result result = report_of(image);
    const std::string expected = kBootableReport +
                                 "boot_table.bi_pvd_lba:$00000010 (32768)\r\n"
                                 "boot_table.bi_file_lba:$00000024 (73728)\r\n"
                                 "boot_table.bi_length:4096\r\n"
                                 "boot_table.bi_csum:$00000000\r\n";
    EXPECT_EQ(result.report, expected);
    EXPECT_EQ(result.diagnostics,
              "tolvane: warning: (memory): 44 of the 64 bytes at byte position 73728 "
              "lie past the end of the image; read as zero bytes\n");
    EXPECT_EQ(result.status, 0);
}

}  // namespace
