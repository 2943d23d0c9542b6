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

    ok &= write_seed(dir, "empty", ImageBuilder());
    return ok ? 0 : 1;
}
