// tolvane --json against images made by real mastering tools: every image
// of the real-images suite, and images of one, two and three sections, with
// several entries in a section, load segments and hard-disk emulation. Each
// document must parse, and every boot entry, section header and the
// validation entry must agree with what `xorriso -report_el_torito plain`
// and `dumpet -i` say about the same image, and with the options the image
// was made with. Nothing here runs tolvane's own code but the executable.
#include <nlohmann/json.hpp>

#include "real_images.hpp"

namespace {

using Json = nlohmann::ordered_json;

// A catalog entry as xorriso's plain report line shows it, with the two
// columns the shared parser leaves out: "Ld_seg" and "Hdpt" (system type).
struct XorrisoEntry {
    Entry entry;
    unsigned load_segment = 0;
    unsigned system_type = 0;
};

std::vector<XorrisoEntry> xorriso_full_entries(const std::string& output, std::vector<bool>* tables) {
    std::vector<XorrisoEntry> full;
    for (const Entry& entry : xorriso_entries(output, tables)) {
        full.push_back(XorrisoEntry{entry, 0, 0});
    }
    std::size_t i = 0;
    for (const std::string& line : lines_of(output)) {
        const std::string key = "El Torito boot img :";
        if (line.compare(0, key.size(), key) == 0 && i < full.size()) {
            const std::vector<std::string> w = words(line.substr(key.size()));
            full[i].load_segment = static_cast<unsigned>(number(w[4]));
            full[i].system_type = static_cast<unsigned>(number(w[5]));
            ++i;
        }
    }
    return full;
}

// dumpet's blocks of one catalog, in order: each boot entry with the
// section header it stands under (none for the default entry).
struct DumpetEntry {
    const Block* block;
    const Block* header;
};

std::vector<DumpetEntry> dumpet_entries(const std::vector<Block>& blocks) {
    std::vector<DumpetEntry> entries;
    const Block* header = nullptr;
    for (const Block& block : blocks) {
        if (block.title == "Section Header Entry:") {
            header = &block;
        } else if (block.title == "Boot Catalog Default Entry:" ||
                   block.title == "Boot Catalog Section Entry:") {
            entries.push_back(DumpetEntry{&block, header});
        }
    }
    return entries;
}

std::string dumpet_value(const Block& block, const std::string& key) {
    return need(value_after(block.body, key), "dumpet: " + key, block.body);
}

// "Media load segment: 0x07c0" for an x86 entry, "Media load address: 0
// (0x0000)" for others. dumpet shows a section entry's stored segment of 0
// as the 0x07C0 the firmware then loads at.
unsigned dumpet_load_segment(const DumpetEntry& e) {
    const std::optional<std::string> segment = value_after(e.block->body, "Media load segment: ");
    if (segment) {
        return static_cast<unsigned>(number(*segment));
    }
    return static_cast<unsigned>(number(dumpet_value(*e.block, "Media load address: ")));
}

const char* emulation_name(unsigned media) {
    static const char* const kNames[] = {"none", "1.2M floppy", "1.44M floppy", "2.88M floppy", "hard disk"};
    return media <= 4 ? kNames[media] : "unknown";
}

// The ID string as dumpet quotes it, and the stored field: the same bytes,
// then NUL bytes.
std::string id_field(const std::string& quoted_id, std::size_t width) {
    std::string field = quoted_id.substr(0, width);
    field.resize(width, '\0');
    return field;
}

// tolvane --json IMAGE: one line of printable ASCII that parses.
Json json_document(const std::string& image) {
    const CommandResult result = run_command({kTolvane, "--json", image});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(!result.out.empty() && result.out.back() == '\n') << "no line end";
    const std::string line = result.out.substr(0, result.out.find('\n'));
    EXPECT_EQ(line.size() + 1, result.out.size()) << "more than one line";
    for (std::size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c > 0x7E) {
            ADD_FAILURE() << "byte " << i << " of the line is " << static_cast<unsigned>(c);
            break;
        }
    }
    const Json doc = Json::parse(line, nullptr, false);
    EXPECT_TRUE(doc.is_object()) << line;
    if (doc.is_object()) {
        EXPECT_EQ(doc.value("image", std::string()), image);
    }
    return doc;
}

// Checks the document of `image` entry by entry against xorriso, dumpet and
// the recipe.
void expect_json_agrees(const std::string& image, const Recipe& recipe) {
    const Json doc = json_document(image);
    if (!doc.is_object()) {
        return;
    }
    const std::string xorriso = run_ok("xorriso", {"-indev", image, "-report_el_torito", "plain"});
    const CommandResult dumpet = run_program("dumpet", {"-i", image});
    EXPECT_EQ(doc["volume_descriptors"][0]["identifier"], "CD001");
    EXPECT_EQ(doc["primary_volume"]["sector"], 16);
    if (recipe.boot.empty()) {
        EXPECT_NE(dumpet.status, 0) << dumpet.out;
        EXPECT_EQ(xorriso.find("El Torito boot img"), std::string::npos) << xorriso;
        EXPECT_EQ(doc["boot_record"], nullptr);
        EXPECT_EQ(doc["boot_catalog"], nullptr);
        return;
    }
    ASSERT_EQ(dumpet.status, 0) << dumpet.out << dumpet.err;
    const Json& catalog = doc["boot_catalog"];
    ASSERT_TRUE(catalog.is_object()) << doc.dump();
    const std::uint64_t catalog_sector =
        number(need(value_after(xorriso, "El Torito catalog  : "), "catalog", xorriso));
    EXPECT_EQ(catalog["sector"], catalog_sector);
    EXPECT_EQ(doc["boot_record"]["catalog_sector"], catalog_sector);

    const std::vector<Block> blocks = dumpet_blocks(dumpet.out);
    // The validation entry: dumpet checks its checksum and shows the word.
    const std::vector<const Block*> validation = blocks_titled(blocks, "Validation Entry:");
    ASSERT_EQ(validation.size(), 1u) << dumpet.out;
    const Json& v = catalog["validation_entry"];
    EXPECT_EQ(v["header_id"], number(dumpet_value(*validation[0], "Header Indicator: ")));
    EXPECT_EQ(v["platform_id"], number(dumpet_value(*validation[0], "PlatformId: ")));
    EXPECT_EQ(v["checksum"], number(dumpet_value(*validation[0], "Checksum: ")));
    EXPECT_EQ(v["checksum_valid"], true) << "dumpet accepted the checksum";
    EXPECT_EQ(number(dumpet_value(*validation[0], "Key bytes: ")), 0x55AAu);
    EXPECT_EQ(v["key_valid"], true);
    EXPECT_EQ(v["id_string"], id_field(quoted(dumpet_value(*validation[0], "ID: "), '"'), 24));

    // The section headers.
    const std::vector<const Block*> headers = blocks_titled(blocks, "Section Header Entry:");
    ASSERT_EQ(catalog["sections"].size(), headers.size()) << dumpet.out;
    for (std::size_t i = 0; i < headers.size(); ++i) {
        SCOPED_TRACE("section " + std::to_string(i + 1));
        const Json& s = catalog["sections"][i];
        EXPECT_EQ(s["header_indicator"], number(dumpet_value(*headers[i], "Header Indicator: ")));
        EXPECT_EQ(s["header_indicator"], i + 1 == headers.size() ? 0x91 : 0x90);
        EXPECT_EQ(s["platform_id"], number(dumpet_value(*headers[i], "PlatformId: ")));
        EXPECT_EQ(s["entry_count"], number(dumpet_value(*headers[i], "Section Entries: ")));
        EXPECT_EQ(s["id_string"], id_field(quoted(dumpet_value(*headers[i], "ID: "), '"'), 28));
    }

    // Every boot entry, against both readers and the recipe.
    std::vector<bool> tables;
    const std::vector<XorrisoEntry> x = xorriso_full_entries(xorriso, &tables);
    const std::vector<DumpetEntry> d = dumpet_entries(blocks);
    const Json& entries = catalog["entries"];
    ASSERT_EQ(entries.size(), recipe.boot.size()) << doc.dump();
    ASSERT_EQ(x.size(), recipe.boot.size()) << xorriso;
    ASSERT_EQ(d.size(), recipe.boot.size()) << dumpet.out;
    std::size_t section = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE("entry " + std::to_string(i + 1));
        const Json& e = entries[i];
        const BootFile& file = recipe.boot[i];
        const Entry de = dumpet_entry(*d[i].block);
        if (i > 0 && d[i].header != d[i - 1].header) {
            ++section;
        }
        EXPECT_EQ(e["section"], section);
        const unsigned platform = agreed(x[i].entry.platform, "xorriso",
                                         file.platform, "the mastering options", "platform");
        const unsigned dumpet_platform = static_cast<unsigned>(number(dumpet_value(
            i == 0 ? *validation[0] : *d[i].header, "PlatformId: ")));
        agreed(platform, "xorriso", dumpet_platform, "dumpet", "platform");
        EXPECT_EQ(e["platform_id"], platform);
        const unsigned indicator = agreed(x[i].entry.indicator, "xorriso", de.indicator, "dumpet", "indicator");
        EXPECT_EQ(e["boot_indicator"], indicator);
        EXPECT_EQ(e["bootable"], indicator == 0x88);
        const unsigned media = agreed(x[i].entry.media, "xorriso", de.media, "dumpet", "emulation");
        agreed(media, "the readers", file.media, "the mastering options", "emulation");
        EXPECT_EQ(e["media_type"], media);
        EXPECT_EQ(e["emulation"], emulation_name(media));
        const unsigned dumpet_segment = dumpet_load_segment(d[i]);
        const unsigned segment = x[i].load_segment;
        if (!(i > 0 && segment == 0 && dumpet_segment == 0x07C0)) {
            agreed(segment, "xorriso", dumpet_segment, "dumpet", "load segment");
        }
        EXPECT_EQ(e["load_segment"], segment);
        const unsigned system = agreed(
            x[i].system_type, "xorriso",
            static_cast<unsigned>(number(dumpet_value(*d[i].block, "System type: "))), "dumpet", "system type");
        EXPECT_EQ(e["system_type"], system);
        const std::uint64_t count = agreed(x[i].entry.count, "xorriso", de.count, "dumpet", "sector count");
        if (file.load_size >= 0) {
            agreed(count, "the readers", static_cast<std::uint64_t>(file.load_size), "-boot-load-size",
                   "sector count");
        }
        EXPECT_EQ(e["sector_count"], count);
        const std::uint64_t sector = agreed(x[i].entry.sector, "xorriso", de.sector, "dumpet", "load sector");
        EXPECT_EQ(e["load_sector"], sector);
        if (i > 0) {
            EXPECT_EQ(e["selection_criteria"], 0);
        }
        // A table where the options asked for one (xorriso knows one by the
        // volume sector it names, so only for an image starting at sector 0).
        if (recipe.session_start == 0) {
            agreed(static_cast<bool>(tables[i]), "xorriso", file.table, "-boot-info-table", "table");
        }
        if (file.table) {
            const Json expected = {{"pvd_sector", recipe.session_start + 16ull},
                                   {"file_sector", sector},
                                   {"length", file.size},
                                   {"checksum", boot_table_checksum(file)},
                                   {"checksum_valid", true}};
            EXPECT_EQ(e["boot_info_table"], expected);
        } else {
            EXPECT_EQ(e["boot_info_table"], nullptr);
        }
    }
}

// A disk image for hard-disk emulation: our boot code, one partition of
// type 0x0C (the catalog's system type), the MBR signature, then zeros.
BootFile hard_disk_boot() {
    std::string mbr = boot_program("tolvane hard disk", 512);
    const unsigned char partition[16] = {0x80, 0, 0, 0, 0x0C, 0, 0, 0, 63, 0, 0, 0, 0xD0, 0x07, 0, 0};
    mbr.replace(446, 16, reinterpret_cast<const char*>(partition), 16);
    mbr[510] = '\x55';
    mbr[511] = '\xAA';
    BootFile file;
    file.name = "boot/hd.img";
    file.bytes = mbr;
    file.size = 1 << 20;
    file.media = 4;
    file.after = {"-hard-disk-boot"};
    return file;
}

// xorriso: the default entry, then three sections: two BIOS images in the
// first (one with a table), an EFI image in the second, a hard-disk image in
// the third. A new -eltorito-id starts a section.
Recipe three_sections_recipe() {
    Recipe recipe = bootable_recipe();
    recipe.boot[0].eltorito_id = "THREE SECTIONS";
    BootFile second = bios_boot(true);
    second.name = "boot/second.bin";
    second.bytes = boot_program("second image, first section", 5000);
    second.size = second.bytes.size();
    second.load_size = 8;
    second.eltorito_id = "SECTION ONE: TWO BIOS IMAGES";
    BootFile third = bios_boot(false);
    third.name = "boot/third.bin";
    third.load_size = 2;
    third.eltorito_id = second.eltorito_id;
    BootFile efi = efi_boot("boot/efi.img", 65536);
    efi.eltorito_id = "SECTION TWO";
    BootFile disk = hard_disk_boot();
    disk.eltorito_id = "SECTION THREE";
    recipe.boot = {recipe.boot[0], second, third, efi, disk};
    return recipe;
}

// genisoimage: every alternate entry in a section of its own, and load
// segments given with -boot-load-seg.
Recipe load_segments_recipe() {
    Recipe recipe = genisoimage_recipe();  // default (table), BIOS, EFI
    recipe.boot[0].after = {"-boot-load-seg", "0x1234"};
    recipe.boot[1].after = {"-boot-load-seg", "0x2000"};
    BootFile third = bios_boot(false);
    third.name = "boot/third.bin";
    third.load_size = 2;
    recipe.boot.insert(recipe.boot.begin() + 2, third);
    return recipe;
}

// The header gives each test file its own copy of the fixture; gtest wants
// one class per suite name, so this file's tests have a suite of their own.
class RealImagesJson : public RealImages {};

TEST_F(RealImagesJson, AgreesWithXorrisoAndDumpetOnEveryImageOfTheSuite) {
    for (const Mastered& made : master_every_image()) {
        SCOPED_TRACE(made.name);
        expect_json_agrees(made.image, made.recipe);
    }
}

TEST_F(RealImagesJson, OfThreeSectionsWithSeveralEntriesInOne) {
    const Recipe recipe = three_sections_recipe();
    const std::string image = master(recipe, "three-sections.iso");
    expect_json_agrees(image, recipe);
    const Json doc = json_document(image);
    ASSERT_EQ(doc["boot_catalog"]["sections"].size(), 3u);
    EXPECT_EQ(doc["boot_catalog"]["sections"][0]["entry_count"], 2);
    EXPECT_EQ(doc["boot_catalog"]["entries"][4]["system_type"], 0x0C);
}

TEST_F(RealImagesJson, OfLoadSegmentsAndThreeSectionsByGenisoimage) {
    const Recipe recipe = load_segments_recipe();
    const std::string image = master(recipe, "load-segments.iso");
    expect_json_agrees(image, recipe);
    const Json doc = json_document(image);
    EXPECT_EQ(doc["boot_catalog"]["sections"].size(), 3u);
    EXPECT_EQ(doc["boot_catalog"]["entries"][0]["load_segment"], 0x1234);
    EXPECT_EQ(doc["boot_catalog"]["entries"][1]["load_segment"], 0x2000);
}

TEST_F(RealImagesJson, AboveFourGibibytes) {
    Recipe recipe;
    const std::string image = master_above_4gib(&recipe);
    expect_json_agrees(image, recipe);
    const Json doc = json_document(image);
    for (const Json& entry : doc["boot_catalog"]["entries"]) {
        EXPECT_GE(entry["load_sector"], 0x200000u) << "a boot image below 4 GiB";
    }
}

// A validation entry whose checksum no longer sums to zero: dumpet refuses
// the catalog, and the document says the checksum is not valid.
TEST_F(RealImagesJson, ValidationChecksumAgreesWithDumpetOnACorruptedCatalog) {
    const std::string image = master(bootable_recipe(), "corrupted.iso");
    const std::string xorriso = run_ok("xorriso", {"-indev", image, "-report_el_torito", "plain"});
    const std::uint64_t catalog = number(need(value_after(xorriso, "El Torito catalog  : "), "catalog", xorriso));
    {
        std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
        out.seekg(static_cast<std::streamoff>(catalog * kSector + 28));
        const int byte = out.get();
        out.seekp(static_cast<std::streamoff>(catalog * kSector + 28));
        out.put(static_cast<char>(byte ^ 0x01));
        ASSERT_TRUE(out.good());
    }
    const CommandResult dumpet = run_program("dumpet", {"-i", image});
    EXPECT_NE(dumpet.status, 0);
    EXPECT_NE((dumpet.out + dumpet.err).find("Checksum is incorrect"), std::string::npos) << dumpet.out;
    const Json doc = json_document(image);
    EXPECT_EQ(doc["boot_catalog"]["validation_entry"]["checksum_valid"], false);
    EXPECT_EQ(doc["boot_catalog"]["validation_entry"]["key_valid"], true);
    EXPECT_EQ(doc["boot_catalog"]["entries"].size(), 1u);
}

}  // namespace
