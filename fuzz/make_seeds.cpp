// Writes the fuzzer's seed images into the directory named on the command
// line, built with the same image builder as the tests: small images that
// reach every section of the report, so the fuzzer starts from inputs whose
// structures are already in place and mutates from there.
//
//   tolvane_fuzz_seeds DIRECTORY
#include <cstdio>
#include <string>

#include "image_builder.hpp"

namespace {

// A compact bootable image: catalog at sector 18, boot images with boot
// information tables at sectors 19 and 20.
ImageBuilder bootable(unsigned header_indicator) {
    ImageBuilder image(21 * kSector);
    put_primary_volume(image, VolumeFields{});
    put_boot_record(image, 18);
    const std::uint64_t catalog = 18 * kSector;
    image.put_u8(catalog + 0, 1).put(catalog + 4, "SEED MAKER");
    image.put_u8(catalog + 30, 0x55).put_u8(catalog + 31, 0xAA);
    put_boot_entry(image, catalog + 32, 0x88, 0, 4, 19);
    put_boot_table(image, 19, 16, 19, 2048, "\x01\x02\x03\x04");
    if (header_indicator != 0) {
        image.put_u8(catalog + 64, header_indicator).put_u8(catalog + 65, 0xEF);
        image.put_le16(catalog + 66, 1).put(catalog + 68, "UEFI SECTION");
        put_boot_entry(image, catalog + 96, 0x88, 0, 8, 20);
        put_boot_table(image, 20, 16, 20, 4096, std::string("\xFF\x00\x80\x7F", 4));
    }
    return image;
}

// A catalog as firmware walks it: three sections (0x90, 0x90, 0x91), the
// first of two entries whose first is followed by two extension entries,
// boot images with tables at sectors 19 to 22.
ImageBuilder multi_section() {
    ImageBuilder image(23 * kSector);
    put_primary_volume(image, VolumeFields{});
    put_boot_record(image, 18);
    const std::uint64_t catalog = 18 * kSector;
    image.put_u8(catalog + 0, 1).put(catalog + 4, "MULTI SECTION SEED");
    image.put_u8(catalog + 30, 0x55).put_u8(catalog + 31, 0xAA);
    put_validation_checksum(image, catalog);
    put_boot_entry(image, catalog + 32, 0x88, 0, 4, 19);
    std::uint64_t at = catalog + 64;
    const auto header = [&](unsigned indicator, unsigned platform, unsigned count) {
        image.put_u8(at, indicator).put_u8(at + 1, platform).put_le16(at + 2, count);
        image.put(at + 4, "SECTION");
        at += 32;
    };
    const auto entry = [&](unsigned media, std::uint32_t sector) {
        put_boot_entry(image, at, 0x88, media, 4, sector);
        image.put_u8(at + 12, 1).put(at + 13, "CRITERIA");
        at += 32;
    };
    const auto extension = [&](bool more) {
        image.put_u8(at, 0x44).put_u8(at + 1, more ? 0x20 : 0).put(at + 2, "MORE CRITERIA");
        at += 32;
    };
    header(0x90, 0x00, 2);
    entry(0x20, 20);
    extension(true);
    extension(false);
    entry(0x04, 21);
    header(0x90, 0xEF, 1);
    entry(0x00, 22);
    header(0x91, 0x02, 1);
    entry(0x02, 19);
    for (std::uint32_t sector = 19; sector <= 22; ++sector) {
        put_boot_table(image, sector, 16, sector, 2048 + sector, "\x01\x02\x03\x04");
    }
    return image;
}

// Section headers that each say more follow, past the catalog's first
// sector, with one entry each.
ImageBuilder header_chain() {
    ImageBuilder image(22 * kSector);
    put_primary_volume(image, VolumeFields{});
    put_boot_record(image, 18);
    const std::uint64_t catalog = 18 * kSector;
    image.put_u8(catalog + 0, 1).put_u8(catalog + 30, 0x55).put_u8(catalog + 31, 0xAA);
    put_validation_checksum(image, catalog);
    put_boot_entry(image, catalog + 32, 0x88, 0, 4, 21);
    for (std::uint64_t at = catalog + 64; at + 64 <= 21 * kSector; at += 64) {
        image.put_u8(at, 0x90).put_le16(at + 2, 1);
        put_boot_entry(image, at + 32, 0x88, 0, 1, 21);
    }
    return image;
}

bool write_seed(const std::string& dir, const char* name, const ImageBuilder& image) {
    const std::string path = dir + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    const std::size_t written = image.size() == 0
                                    ? 0
                                    : std::fwrite(image.bytes().data(), 1, image.size(), file);
    const bool closed = std::fclose(file) == 0;
    if (written != image.size() || !closed) {
        std::fprintf(stderr, "%s: write failed\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tolvane_fuzz_seeds DIRECTORY\n");
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;

    ok &= write_seed(dir, "bootable-with-section", bootable(0x91));
    ok &= write_seed(dir, "bootable-no-section", bootable(0));

    ImageBuilder floppy = bootable(0x90);
    floppy.put_u8(18 * kSector + 33, 2);           // 1.44 MB floppy emulation
    floppy.put_le32(20 * kSector + 12, 21);        // section image without a table
    ok &= write_seed(dir, "floppy-no-second-table", floppy);

    // Catalog and boot image in the system area, before the descriptors.
    ImageBuilder low(18 * kSector);
    put_primary_volume(low, VolumeFields{});
    put_boot_record(low, 0);
    put_boot_entry(low, 32, 0x88, 0, 4, 1);
    put_boot_table(low, 1, 16, 1, 2048, "ABCD");
    ok &= write_seed(dir, "catalog-in-system-area", low);

    // Every pointer and size at the top of 32 bits.
    VolumeFields huge;
    huge.volume_sectors = 0xFFFFFFFFu;
    huge.path_table = 0xFFFFFFFEu;
    huge.root_directory = 0xFFFFFFFFu;
    ImageBuilder high(18 * kSector);
    put_primary_volume(high, huge);
    put_boot_record(high, 0xFFFFFFFFu);
    ok &= write_seed(dir, "pointers-past-the-end", high);

    // Identifiers holding terminal control bytes and bytes above 0x7F.
    VolumeFields hostile;
    hostile.system = "\x1b]0;title\x07";
    hostile.volume = "\x1b[2J\b\r\n";
    hostile.publisher = std::string("NUL\0BYTE\x7f\x80\xff", 12);
    ImageBuilder control = bootable(0x91);
    put_primary_volume(control, hostile);
    ok &= write_seed(dir, "control-bytes", control);

    ImageBuilder short_pvd = bootable(0x91);
    short_pvd.resize(16 * kSector + 100);
    ok &= write_seed(dir, "ends-inside-volume-descriptor", short_pvd);

    ok &= write_seed(dir, "three-sections-with-extensions", multi_section());
    ok &= write_seed(dir, "section-header-chain", header_chain());
    ok &= write_seed(dir, "empty", ImageBuilder());
    return ok ? 0 : 1;
}
