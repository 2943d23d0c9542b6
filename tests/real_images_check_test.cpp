// tolvane --check on images made by real mastering tools: a well-made image
// gives no finding at all, in every configuration of the suite; and the
// findings of --json are the --check lines, in the same order.
#include <nlohmann/json.hpp>

#include "real_images.hpp"

namespace {

// The shared fixture under a suite name of its own: each test file has its
// own copy of the fixture class, and one suite name may not have two.
class RealImagesCheck : public RealImages {};

// A hard-disk image: an MBR holding our boot code, one bootable FAT32
// partition from sector 32 to the end of its 1 MiB, and the signature.
BootFile hard_disk_boot() {
    BootFile file;
    file.name = "boot/hd.img";
    file.bytes = boot_program("tolvane hard disk", 446);
    const unsigned char partition[16] = {0x80, 0, 0, 0, 0x0C, 0, 0, 0, 32, 0, 0, 0, 0xE0, 0x07, 0, 0};
    file.bytes.append(reinterpret_cast<const char*>(partition), sizeof partition);
    file.bytes.append(48, '\0');
    file.bytes += "\x55\xAA";
    file.size = 1 << 20;  // 2048 sectors: 32 + 0x7E0
    file.media = 4;
    file.after = {"-hard-disk-boot"};
    return file;
}

Recipe hard_disk_recipe(const std::string& tool) {
    Recipe recipe;
    recipe.tool = tool;
    recipe.ids = test_identifiers();
    recipe.boot = {hard_disk_boot()};
    return recipe;
}

CommandResult check_run(const std::vector<std::string>& images) {
    std::vector<std::string> args = {kTolvane, "--check", "--"};
    args.insert(args.end(), images.begin(), images.end());
    return run_command(args);
}

// The findings of the image's --json line, written as --check writes them.
std::string json_findings_as_lines(const std::string& image) {
    const CommandResult result = run_command({kTolvane, "--json", image});
    EXPECT_EQ(result.status, 0) << result.err;
    const nlohmann::json doc = nlohmann::json::parse(result.out, nullptr, false);
    EXPECT_FALSE(doc.is_discarded()) << result.out;
    std::string lines;
    if (doc.is_discarded() || !doc.contains("findings")) {
        return lines;
    }
    for (const nlohmann::json& f : doc["findings"]) {
        lines += image + ": " + f["severity"].get<std::string>() + ": " + f["where"].get<std::string>() +
                 ": " + f["message"].get<std::string>() + "\n";
    }
    return lines;
}

std::uint32_t le32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

TEST_F(RealImagesCheck, CheckFindsNothingInWellMadeImages) {
    std::vector<Mastered> made = master_every_image();
    for (const char* tool : {"xorriso", "genisoimage"}) {
        const Recipe recipe = hard_disk_recipe(tool);
        made.push_back(Mastered{std::string(tool) + " hard disk", recipe,
                                master(recipe, std::string(tool) + "-hd.iso")});
    }
    std::vector<std::string> images;
    for (const Mastered& m : made) {
        SCOPED_TRACE(m.name);
        const CommandResult result = check_run({m.image});
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(json_findings_as_lines(m.image), "");
        images.push_back(m.image);
    }
    const CommandResult all = check_run(images);
    EXPECT_EQ(all.out, "");
    EXPECT_EQ(all.status, 0);
}

// The hard-disk emulation images against the other readers, as the other
// configurations are in real_images_test.cpp.
TEST_F(RealImagesCheck, HardDiskEmulationReport) {
    for (const char* tool : {"xorriso", "genisoimage"}) {
        SCOPED_TRACE(tool);
        const Recipe recipe = hard_disk_recipe(tool);
        const std::string image = master(recipe, std::string(tool) + "-hd.iso");
        const Readers readers = read_with_others(image);
        std::vector<bool> tables;
        const std::vector<Entry> entries = xorriso_entries(readers.xorriso, &tables);
        ASSERT_EQ(entries.size(), 1u) << readers.xorriso;
        EXPECT_EQ(entries[0].media, 4u) << readers.xorriso;
        check(recipe, image);
    }
}

TEST_F(RealImagesCheck, CheckFindsNothingAboveFourGibibytes) {
    Recipe recipe;
    const std::string image = master_above_4gib(&recipe);
    const CommandResult result = check_run({image});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(json_findings_as_lines(image), "");
}

// xorriso's image with its catalog's key bytes and its boot image's table
// checksum spoilt: --check finds the faults, and --json lists the same.
TEST_F(RealImagesCheck, JsonFindingsAreTheCheckLines) {
    const std::string image = master(bootable_recipe(), "broken.iso");
    std::string bytes;
    {
        std::ifstream in(image, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        bytes = all.str();
    }
    const std::uint32_t catalog = le32(bytes, 17 * kSector + 71);
    const std::uint32_t load = le32(bytes, catalog * kSector + 32 + 8);
    ASSERT_LT((load + 1) * kSector, bytes.size());
    bytes[catalog * kSector + 30] = '\xE8';
    bytes[catalog * kSector + 31] = '\0';
    bytes[load * kSector + 20] = static_cast<char>(bytes[load * kSector + 20] ^ 0x01);
    std::ofstream(image, std::ios::binary | std::ios::trunc) << bytes;

    // The key's word goes from 0xAA55 to 0x00E8; the table's checksum is the
    // one of the boot file as written, its lowest bit turned.
    const std::uint32_t sum = boot_table_checksum(bios_boot(true));
    const std::string validation = "sector " + std::to_string(catalog) + ", boot catalog entry 0 (validation entry): ";
    const std::string expected =
        image + ": error: " + validation + "key bytes are E8 00, expected 55 AA\n" +
        image + ": error: " + validation + "checksum word sum is 0x5693, expected 0\n" +
        image + ": error: boot image at sector " + std::to_string(load) + ": boot information table checksum is 0x" +
        hex(sum ^ 1, 8) + ", recomputed over the boot file 0x" + hex(sum, 8) + "\n";
    const CommandResult result = check_run({image});
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(json_findings_as_lines(image), result.out);
}

}  // namespace
