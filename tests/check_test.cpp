// tolvane --check: each fault patched into a small good image is found, with
// its severity, its place and the values found and expected; and the exit
// statuses of several images in one run combine.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "image_builder.hpp"
#include "run_command.hpp"
#include "scratch_dir.hpp"

namespace {

const std::string kTool = TOLVANE_EXECUTABLE;

// The good image: 32 sectors (65536 bytes), all of them its volume. An MBR
// whose one partition covers the image, as isohybrid images have; the
// primary volume descriptor at 16, the boot record at 17, the set
// terminator at 18; the catalog at 20 with the initial/default entry
// (no emulation, 4 sectors from sector 22), a final section header for EFI
// and its one entry (4 sectors from sector 23). Both boot images hold a
// boot information table over their 2048 bytes.
constexpr std::uint32_t kImageSectors = 32;
constexpr std::uint64_t kCatalog = 20 * kSector;
constexpr std::uint64_t kValidation = kCatalog;
constexpr std::uint64_t kInitial = kCatalog + 32;
constexpr std::uint64_t kHeader = kCatalog + 64;
constexpr std::uint64_t kSectionEntry = kCatalog + 96;
constexpr std::uint64_t kPvd = 16 * kSector;

std::uint32_t le32_of(const ImageBuilder& image, std::uint64_t at) {
    const std::vector<unsigned char>& b = image.bytes();
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// The boot information table's checksum of the boot image at `sector`: its
// 32-bit little-endian words from byte 64 to `length`.
std::uint32_t table_checksum(const ImageBuilder& image, std::uint32_t sector, std::uint32_t length) {
    std::uint32_t sum = 0;
    for (std::uint64_t at = sector * kSector + 64; at < sector * kSector + length; at += 4) {
        sum += le32_of(image, at);
    }
    return sum;
}

void put_boot_image(ImageBuilder& image, std::uint32_t sector, const std::string& message) {
    image.put(sector * kSector, "\xFA\xF4\xEB\xFD").put(sector * kSector + 64, message);
    put_boot_table(image, sector, 16, sector, 2048, "");
    image.put_le32(sector * kSector + 20, table_checksum(image, sector, 2048));
}

ImageBuilder good_image() {
    ImageBuilder image(kImageSectors * kSector);
    image.put_u8(446, 0x80).put_u8(450, 0x17).put_le32(454, 0).put_le32(458, kImageSectors * 4);
    image.put_u8(510, 0x55).put_u8(511, 0xAA);
    VolumeFields fields;
    fields.volume_sectors = kImageSectors;
    put_primary_volume(image, fields);
    put_boot_record(image, 20);
    image.put_u8(18 * kSector, 255).put(18 * kSector + 1, "CD001").put_u8(18 * kSector + 6, 1);
    image.put_u8(kValidation, 1).put(kValidation + 4, "CHECK TESTS");
    image.put_u8(kValidation + 30, 0x55).put_u8(kValidation + 31, 0xAA);
    put_validation_checksum(image, kValidation);
    put_boot_entry(image, kInitial, 0x88, 0, 4, 22);
    image.put_u8(kHeader, 0x91).put_u8(kHeader + 1, 0xEF).put_le16(kHeader + 2, 1).put(kHeader + 4, "EFI");
    put_boot_entry(image, kSectionEntry, 0x88, 0, 4, 23);
    put_boot_image(image, 22, "initial/default entry's boot image");
    put_boot_image(image, 23, "section entry's boot image");
    return image;
}

const std::string kValidationPlace = "sector 20, boot catalog entry 0 (validation entry)";
const std::string kInitialPlace = "sector 20, boot catalog entry 1 (initial/default entry)";
const std::string kHeaderPlace = "sector 20, boot catalog entry 2 (section header 1)";
const std::string kSectionPlace = "sector 20, boot catalog entry 3 (section 1, entry 1)";
const std::string kPastEnd = ", past the end of the image at byte 65536";

struct Case {
    const char* name;
    std::function<void(ImageBuilder&)> patch;
    std::vector<std::string> lines;  // each after "PATH: "
    int status;
};

std::vector<Case> cases() {
    const std::uint32_t sum22 = table_checksum(good_image(), 22, 2048);
    char sum22_text[16];
    std::snprintf(sum22_text, sizeof sum22_text, "0x%08X", static_cast<unsigned>(sum22));
    return {
        {"volume longer than the image",
         [](ImageBuilder& i) { i.put_both32(kPvd + 80, 40); },
         {"error: image: image is 65536 bytes, shorter than its volume: 40 sectors of 2048 bytes are 81920 bytes"}, 3},
        {"sector 16 a supplementary descriptor",
         [](ImageBuilder& i) { i.put_u8(kPvd, 2); },
         {"error: sector 16, primary volume descriptor: volume descriptor type is 2, expected 1 (primary volume descriptor)"}, 3},
        {"sector 16 not a descriptor",
         [](ImageBuilder& i) { i.put(kPvd + 1, "CD002"); },
         {"error: sector 16, primary volume descriptor: no volume descriptor: the sector does not hold \"CD001\" at byte 1"}, 3},
        {"image ends inside sector 16",
         [](ImageBuilder& i) { i.resize(kPvd + 100); },
         {"warning: system area, MBR partition 1: partition of 128 sectors from sector 0 ends at byte 65536, past the end of the image at byte 32868",
          "error: sector 16, primary volume descriptor: the image ends at byte 32868, before sector 16 ends"}, 3},
        {"no set terminator",
         [](ImageBuilder& i) { i.put(18 * kSector, std::string(7, '\0')); },
         {"error: sector 18, volume descriptor set: no set terminator (type 255) after 2 descriptors: sector 18 is not a volume descriptor (no \"CD001\" at byte 1)"}, 3},
        {"logical block size 512",
         [](ImageBuilder& i) { i.put_both16(kPvd + 128, 512); },
         {"warning: sector 16, primary volume descriptor: logical block size is 512, expected 2048"}, 0},
        {"boot system identifier not El Torito's; its bytes shown safely",
         [](ImageBuilder& i) { i.put(17 * kSector + 7 + 22, "\xE9\x01"); },
         {"warning: sector 17, boot record: boot system identifier is \"EL TORITO SPECIFICATIO??\", expected \"EL TORITO SPECIFICATION\" padded with NUL bytes"}, 0},
        {"catalog past the end",
         [](ImageBuilder& i) { i.put_le32(17 * kSector + 71, 1000); },
         {"error: sector 17, boot record: boot catalog sector 1000 starts at byte 2048000" + kPastEnd}, 3},
        {"validation entry: header id 250, key E8 00",
         [](ImageBuilder& i) { i.put_u8(kValidation, 0xFA).put_u8(kValidation + 30, 0xE8).put_u8(kValidation + 31, 0); },
         // word sum: +0xF9 for the header id, 0x00E8 - 0xAA55 for the key
         {"error: " + kValidationPlace + ": header id is 0xFA, expected 0x01",
          "error: " + kValidationPlace + ": key bytes are E8 00, expected 55 AA",
          "error: " + kValidationPlace + ": checksum word sum is 0x578C, expected 0"}, 3},
        {"validation entry: word sum",
         [](ImageBuilder& i) { i.put(kValidation + 5, "J"); },  // 'H' + 2, in a word's high byte
         {"error: " + kValidationPlace + ": checksum word sum is 0x0200, expected 0"}, 3},
        {"load sector past the end",
         [](ImageBuilder& i) { i.put_le32(kSectionEntry + 8, 5000); },
         {"error: " + kSectionPlace + ": load sector 5000 starts at byte 10240000" + kPastEnd}, 3},
        {"no-emulation load runs past the end",
         [](ImageBuilder& i) { i.put_le16(kInitial + 6, 200); },
         {"error: " + kInitialPlace + ": sector count 200 loads 200 sectors of 512 bytes, 102400 bytes from byte 45056 to byte 147456" + kPastEnd}, 3},
        {"floppy emulation loads the whole disk",
         [](ImageBuilder& i) { i.put_u8(kSectionEntry + 1, 2); },
         {"error: " + kSectionPlace + ": 1.44M floppy emulation loads the whole disk, 1474560 bytes from byte 47104 to byte 1521664" + kPastEnd}, 3},
        {"hard-disk emulation image without an MBR",
         [](ImageBuilder& i) { i.put_u8(kSectionEntry + 1, 4).put_le32(kSectionEntry + 8, 24); },
         {"error: boot image at sector 24: hard-disk emulation image has no MBR signature at its byte 510, expected 55 AA"}, 3},
        {"hard-disk emulation disk runs past the end",
         [](ImageBuilder& i) {
             i.put_u8(kSectionEntry + 1, 4).put_le32(kSectionEntry + 8, 24);
             const std::uint64_t mbr = 24 * kSector;  // one partition: sectors 1 to 255
             i.put_u8(mbr + 450, 0x0C).put_le32(mbr + 454, 1).put_le32(mbr + 458, 255);
             i.put_u8(mbr + 510, 0x55).put_u8(mbr + 511, 0xAA);
         },
         {"error: " + kSectionPlace + ": hard-disk emulation loads the disk its MBR describes, 131072 bytes from byte 49152 to byte 180224" + kPastEnd}, 3},
        {"boot information table: primary volume descriptor's sector",
         [](ImageBuilder& i) { i.put_le32(22 * kSector + 8, 17); },
         {"error: boot image at sector 22: boot information table names sector 17 as the primary volume descriptor's, but none stands there; expected 16"}, 3},
        {"boot information table naming a later session's descriptor: no finding",
         [](ImageBuilder& i) {
             const std::vector<unsigned char> pvd(i.bytes().begin() + kPvd, i.bytes().begin() + kPvd + kSector);
             i.put(24 * kSector, std::string(pvd.begin(), pvd.end())).put_le32(22 * kSector + 8, 24);
         },
         {}, 0},
        {"boot information table: length past the end",
         [](ImageBuilder& i) { i.put_le32(23 * kSector + 16, 40000); },
         {"error: boot image at sector 23: boot information table length 40000 runs to byte 87104" + kPastEnd}, 3},
        {"boot information table: checksum",
         [](ImageBuilder& i) { i.put_le32(22 * kSector + 20, 0xDEADBEEF); },
         {"error: boot image at sector 22: boot information table checksum is 0xDEADBEEF, recomputed over the boot file " +
          std::string(sum22_text)}, 3},
        {"catalog walk stops at its bound",
         [](ImageBuilder& i) {
             // 2046 headers after the initial entry, each with no entries and
             // more to follow: 64 KiB of catalog, sectors 20 to 51.
             i.resize(56 * kSector).put_both32(kPvd + 80, 56).put_le32(458, 56 * 4);
             for (std::uint64_t entry = 2; entry < 2048; ++entry) {
                 i.put_u8(kCatalog + entry * 32, 0x90).put(kCatalog + entry * 32 + 1, std::string(31, '\0'));
             }
         },
         {"error: sector 52, boot catalog entry 2048: the catalog walk stopped at its bound of 2048 entries (64 KiB) before the catalog ended"}, 3},
        {"section declares more entries than stand",
         [](ImageBuilder& i) { i.put_le16(kHeader + 2, 3); },
         {"error: " + kHeaderPlace + ": the section declares 3 entries, but 1 stands before the next header or the end of the catalog"}, 3},
        {"boot indicator neither 0x88 nor 0x00",
         [](ImageBuilder& i) { i.put_u8(kSectionEntry, 0x01); },
         {"warning: sector 20, boot catalog entry 3 (where a section entry is due): boot indicator is 0x01, "
          "expected 0x88 (bootable) or 0x00 (not bootable); the catalog walk stops here"}, 0},
        {"no bootable entry",
         [](ImageBuilder& i) { i.put_u8(kInitial, 0).put_u8(kSectionEntry, 0); },
         {"warning: " + kInitialPlace + ": the entry is not bootable (boot indicator 0x00) and no bootable section entry follows it"}, 0},
        {"unknown emulation",
         [](ImageBuilder& i) { i.put_u8(kSectionEntry + 1, 0x05); },
         {"warning: " + kSectionPlace + ": media type 0x05 names emulation 5, expected 0 (none) to 4 (hard disk) in its low four bits"}, 0},
        {"extension promised, none follows",
         [](ImageBuilder& i) { i.put_u8(kSectionEntry + 1, 0x20); },
         {"warning: " + kSectionPlace + ": media type 0x20 says an extension entry follows, but entry 4 is not one (0x44)"}, 0},
        {"odd header indicator",
         [](ImageBuilder& i) { i.put_u8(kHeader, 0x55); },
         {"warning: sector 20, boot catalog entry 2 (where a section header is due): header indicator is 0x55, "
          "expected 0x90 (more headers follow) or 0x91 (final header); the catalog walk stops here"}, 0},
        {"no final header",
         [](ImageBuilder& i) { i.put_u8(kHeader, 0x90); },
         {"warning: " + kHeaderPlace + ": the catalog ends without a final section header (0x91): entry 4 is empty"}, 0},
        {"validation entry: unknown platform",
         [](ImageBuilder& i) { i.put_u8(kValidation + 1, 7); put_validation_checksum(i, kValidation); },
         {"warning: " + kValidationPlace + ": platform id is 0x07, expected 0x00 (x86), 0x01 (PowerPC), 0x02 (Mac) or 0xEF (EFI)"}, 0},
        {"section header: unknown platform",
         [](ImageBuilder& i) { i.put_u8(kHeader + 1, 0x42); },
         {"warning: " + kHeaderPlace + ": platform id is 0x42, expected 0x00 (x86), 0x01 (PowerPC), 0x02 (Mac) or 0xEF (EFI)"}, 0},
        {"no-emulation entry loading 0 sectors",
         [](ImageBuilder& i) { i.put_le16(kSectionEntry + 6, 0); },
         {"warning: " + kSectionPlace + ": no-emulation entry has a sector count of 0, expected 1 or more"}, 0},
        {"MBR partition past the end",
         [](ImageBuilder& i) { i.put_le32(458, kImageSectors * 4 + 1); },
         {"warning: system area, MBR partition 1: partition of 129 sectors from sector 0 ends at byte 66048" + kPastEnd}, 0},
    };
}

std::string lines_of(const std::string& path, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += path + ": " + line + "\n";
    }
    return text;
}

TEST(Check, GoodImageHasNoFinding) {
    ScratchDir dir;
    const std::string path = dir.write("good.iso", good_image());
    const CommandResult result = run_command({kTool, "--check", path});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
}

TEST(Check, EachFaultIsFoundWithItsPlaceAndValues) {
    ScratchDir dir;
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        ImageBuilder image = good_image();
        c.patch(image);
        const std::string path = dir.write("fault.iso", image);
        const CommandResult result = run_command({kTool, "--check", path});
        EXPECT_EQ(result.out, lines_of(path, c.lines));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, c.status);
    }
}

// Good, warned, broken and missing images in one run: every image's lines
// in argument order; an unreadable image (status 1) wins over an error
// finding (status 3), which wins over warnings (status 0).
TEST(Check, StatusesOfSeveralImagesCombine) {
    ScratchDir dir;
    const std::string good = dir.write("good.iso", good_image());
    ImageBuilder warned_image = good_image();
    warned_image.put_u8(kHeader, 0x90);
    const std::string warned = dir.write("warned.iso", warned_image);
    ImageBuilder broken_image = good_image();
    broken_image.put_le32(kSectionEntry + 8, 5000);
    const std::string broken = dir.write("broken.iso", broken_image);
    const std::string missing = dir.path() + "/missing.iso";

    const std::string warned_lines = lines_of(
        warned, {"warning: " + kHeaderPlace + ": the catalog ends without a final section header (0x91): entry 4 is empty"});
    const std::string broken_lines = lines_of(
        broken, {"error: " + kSectionPlace + ": load sector 5000 starts at byte 10240000" + kPastEnd});
    struct Run {
        std::vector<std::string> images;
        std::string out;
        std::string err;
        int status;
    };
    const Run runs[] = {
        {{good, warned, good}, warned_lines, "", 0},
        {{warned, broken, good}, warned_lines + broken_lines, "", 3},
        {{good, missing, broken, warned}, broken_lines + warned_lines,
         "tolvane: " + missing + ": No such file or directory\n", 1},
        {{missing, good}, "", "tolvane: " + missing + ": No such file or directory\n", 1},
    };
    for (const Run& run : runs) {
        std::vector<std::string> args = {kTool, "--check", "--"};
        args.insert(args.end(), run.images.begin(), run.images.end());
        const CommandResult result = run_command(args);
        EXPECT_EQ(result.out, run.out);
        EXPECT_EQ(result.err, run.err);
        EXPECT_EQ(result.status, run.status);
    }
}

TEST(Check, NoImageIsAUsageError) {
    const CommandResult result = run_command({kTool, "--check"});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "usage: tolvane --check [--] IMAGE...\n");
    EXPECT_EQ(result.status, 2);
}

TEST(Check, RefusedOutputWinsOverErrors) {
    ScratchDir dir;
    ImageBuilder broken_image = good_image();
    broken_image.put_le32(kSectionEntry + 8, 5000);
    const std::string broken = dir.write("broken.iso", broken_image);
    const CommandResult result = run_command({kTool, "--check", broken}, StdoutTo::dev_full);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "tolvane: error writing standard output: No space left on device\n");
}

}  // namespace
