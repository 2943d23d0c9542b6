// tolvane --json on crafted images: the catalog walk and its bounds, boot
// information tables and their checksums, text fields holding any bytes,
// images of 64 GiB, and runs over several images. Images are built with the
// image builder and read in-process from memory (read_model, model_json), or
// written to a scratch directory and given to the executable; every document
// is parsed with nlohmann/json and compared with values taken from the
// fixture's own bytes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "image_builder.hpp"
#include "json_output.hpp"
#include "model.hpp"
#include "run_command.hpp"
#include "scratch_dir.hpp"

namespace {

using Json = nlohmann::ordered_json;

const std::string kTool = TOLVANE_EXECUTABLE;
constexpr std::uint32_t kCatalogSector = 20;
constexpr std::uint64_t kCatalog = kCatalogSector * kSector;
constexpr std::size_t kEntry = 32;

// ---- Catalog entries, 32 bytes each ----------------------------------------

std::string le16(unsigned value) {
    return {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
}
std::string le32(std::uint32_t value) { return le16(value & 0xFFFF) + le16(value >> 16); }

// The entry with bytes 28 and 29 set so that its sixteen words sum to zero.
std::string with_checksum(std::string e) {
    e.replace(28, 2, le16(0));
    unsigned sum = 0;
    for (std::size_t i = 0; i < kEntry; i += 2) {
        sum += static_cast<unsigned char>(e[i]) | static_cast<unsigned char>(e[i + 1]) << 8;
    }
    e.replace(28, 2, le16((0x10000 - (sum & 0xFFFF)) & 0xFFFF));
    return e;
}

// A validation entry whose sixteen words sum to zero, key bytes 55 AA.
std::string validation_entry(unsigned platform, const std::string& id) {
    std::string e(kEntry, '\0');
    e[0] = 1;
    e[1] = static_cast<char>(platform);
    e.replace(4, id.size(), id);
    e[30] = '\x55';
    e[31] = '\xAA';
    return with_checksum(e);
}

struct BootFields {
    unsigned indicator = 0x88;
    unsigned media = 0;
    unsigned load_segment = 0;
    unsigned system_type = 0;
    unsigned count = 4;
    std::uint32_t load_sector = 5000;  // past the end of most fixtures: no table
    unsigned criteria = 0;
};

std::string boot_entry(const BootFields& f) {
    std::string e(kEntry, '\0');
    e[0] = static_cast<char>(f.indicator);
    e[1] = static_cast<char>(f.media);
    e.replace(2, 2, le16(f.load_segment));
    e[4] = static_cast<char>(f.system_type);
    e.replace(6, 2, le16(f.count));
    e.replace(8, 4, le32(f.load_sector));
    e[12] = static_cast<char>(f.criteria);
    return e;
}
std::string boot_entry_at(std::uint32_t load_sector, unsigned media = 0) {
    BootFields f;
    f.load_sector = load_sector;
    f.media = media;
    return boot_entry(f);
}

std::string section_header(unsigned indicator, unsigned platform, unsigned count,
                           const std::string& id = "") {
    std::string e(kEntry, '\0');
    e[0] = static_cast<char>(indicator);
    e[1] = static_cast<char>(platform);
    e.replace(2, 2, le16(count));
    e.replace(4, id.size(), id);
    return e;
}

std::string extension_entry(bool more) {
    std::string e(kEntry, '\0');
    e[0] = '\x44';
    e[1] = more ? '\x20' : '\0';
    return e;
}

// ---- Images ------------------------------------------------------------------

// A primary volume, an El Torito boot record naming sector 20, a set
// terminator, and the catalog's entries from sector 20 on.
ImageBuilder catalog_image(const std::vector<std::string>& catalog) {
    ImageBuilder image(24 * kSector);
    put_primary_volume(image, VolumeFields{});
    put_boot_record(image, kCatalogSector);
    image.put_u8(18 * kSector, 255).put(18 * kSector + 1, "CD001").put_u8(18 * kSector + 6, 1);
    std::string bytes;
    for (const std::string& entry : catalog) {
        bytes += entry;
    }
    image.put(kCatalog, bytes);
    return image;
}

// Every character of the line is printable ASCII.
void expect_printable_ascii(const std::string& line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        ASSERT_TRUE(c >= 0x20 && c <= 0x7E) << "byte " << i << " is " << static_cast<unsigned>(c);
    }
}

// The model of `bytes` read in-process from memory, as its JSON line.
std::string json_line(const std::vector<unsigned char>& bytes, const char* name = "fixture.iso") {
    const std::unique_ptr<ImageSource> source(new ImageSource);
    memory_image_source(*source, name, bytes.data(), bytes.size());
    ImageModel model;
    read_model(*source, name, ModelOptions{false}, model);
    const std::string line = model_json(model);
    expect_printable_ascii(line);
    return line;
}

Json json_of(const ImageBuilder& image) { return Json::parse(json_line(image.bytes())); }

// A text field as the image stored it: each character of the parsed JSON
// string (U+0000 to U+00FF) back to the byte of the same code.
std::string stored_bytes(const std::string& utf8) {
    std::string bytes;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            bytes.push_back(static_cast<char>(c));
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
            bytes.push_back(static_cast<char>(((c & 0x03) << 6) | (utf8[++i] & 0x3F)));
        } else {
            ADD_FAILURE() << "a character above U+00FF at byte " << i;
        }
    }
    return bytes;
}

// ---- The catalog walk ----------------------------------------------------------

// What a walk found: each section's indicator and declared count, each
// entry's section, load sector and extension entries.
struct Section {
    unsigned indicator;
    unsigned count;
};
struct Found {
    unsigned section;
    std::uint32_t load_sector;
    unsigned extensions;
};

struct WalkCase {
    std::string name;
    std::vector<std::string> catalog;  // from the initial/default entry on
    std::size_t image_size;            // 0: the builder's size
    std::vector<Section> sections;
    std::vector<Found> entries;        // the initial/default entry first
};

std::vector<WalkCase> walk_cases() {
    std::vector<WalkCase> cases;
    const std::string initial = boot_entry_at(3000);
    const Found initial_found{0, 3000, 0};

    {   // Three entries stand where 60000 are claimed; a zero entry ends them.
        WalkCase c{"count of 60000, three entries", {initial, section_header(0x91, 0xEF, 60000)}, 0,
                   {{0x91, 60000}}, {initial_found}};
        for (std::uint32_t i = 0; i < 3; ++i) {
            c.catalog.push_back(boot_entry_at(3100 + i));
            c.entries.push_back({1, 3100 + i, 0});
        }
        cases.push_back(c);
    }
    {   // Entries fill the catalog past 64 KiB: 2048 entries are read, across
        // 32 sectors, and no more.
        WalkCase c{"count of 60000, catalog full of entries", {initial, section_header(0x91, 0xEF, 60000)},
                   0, {{0x91, 60000}}, {initial_found}};
        for (std::uint32_t i = 0; i < 2200; ++i) {
            c.catalog.push_back(boot_entry_at(10000 + i));
            if (i < kMostCatalogEntries - 3) {
                c.entries.push_back({1, 10000 + i, 0});
            }
        }
        cases.push_back(c);
    }
    {   // Headers that each say more follow, to the end of a large image.
        WalkCase c{"0x90 headers that never end", {initial}, 0, {}, {initial_found}};
        for (std::size_t i = 0; i < 3000; ++i) {
            c.catalog.push_back(section_header(0x90, i & 0xFF, 0));
            if (i < kMostCatalogEntries - 2) {
                c.sections.push_back({0x90, 0});
            }
        }
        cases.push_back(c);
    }
    {   // The same with one entry each: header, entry, header, entry...
        WalkCase c{"0x90 headers with an entry each", {initial}, 0, {}, {initial_found}};
        for (std::uint32_t i = 0; i < 1500; ++i) {
            c.catalog.push_back(section_header(0x90, 0, 1));
            c.catalog.push_back(boot_entry_at(20000 + i));
            if (2 + 2 * i < kMostCatalogEntries) c.sections.push_back({0x90, 1});
            if (3 + 2 * i < kMostCatalogEntries) c.entries.push_back({i + 1, 20000 + i, 0});
        }
        cases.push_back(c);
    }
    cases.push_back({"extension entries follow a section entry",
                     {initial, section_header(0x91, 0xEF, 2), boot_entry_at(3001, 0x20),
                      extension_entry(true), extension_entry(false), boot_entry_at(3002, 0x24)
                      , extension_entry(false)},
                     0, {{0x91, 2}}, {initial_found, {1, 3001, 2}, {1, 3002, 1}}});
    cases.push_back({"extension announced but missing",
                     {initial, section_header(0x91, 0xEF, 2), boot_entry_at(3001, 0x20),
                      boot_entry_at(3002)},
                     0, {{0x91, 2}}, {initial_found, {1, 3001, 0}, {1, 3002, 0}}});
    cases.push_back({"three sections, several entries in one",
                     {initial, section_header(0x90, 0x00, 1), boot_entry_at(3001),
                      section_header(0x90, 0xEF, 3), boot_entry_at(3002), boot_entry_at(3003),
                      boot_entry_at(3004), section_header(0x91, 0x02, 1), boot_entry_at(3005),
                      section_header(0x91, 0x01, 1), boot_entry_at(3006)},
                     0, {{0x90, 1}, {0x90, 3}, {0x91, 1}},
                     {initial_found, {1, 3001, 0}, {2, 3002, 0}, {2, 3003, 0}, {2, 3004, 0}, {3, 3005, 0}}});
    cases.push_back({"header where an entry is due starts the next section",
                     {initial, section_header(0x90, 0, 5), boot_entry_at(3001),
                      section_header(0x91, 0xEF, 1), boot_entry_at(3002)},
                     0, {{0x90, 5}, {0x91, 1}}, {initial_found, {1, 3001, 0}, {2, 3002, 0}}});
    cases.push_back({"extension entry where an entry is due",
                     {initial, section_header(0x90, 0, 2), boot_entry_at(3001), extension_entry(false),
                      section_header(0x91, 0xEF, 1), boot_entry_at(3002)},
                     0, {{0x90, 2}}, {initial_found, {1, 3001, 0}}});
    {   // A first byte of 0x12 is neither a boot entry nor a header.
        BootFields odd;
        odd.indicator = 0x12;
        odd.load_sector = 3002;
        cases.push_back({"odd first byte where an entry is due",
                         {initial, section_header(0x90, 0, 2), boot_entry_at(3001), boot_entry(odd),
                          section_header(0x91, 0xEF, 1), boot_entry_at(3003)},
                         0, {{0x90, 2}}, {initial_found, {1, 3001, 0}}});
        cases.push_back({"odd first byte where a header is due",
                         {initial, section_header(0x12, 0, 1), boot_entry_at(3001)},
                         0, {}, {initial_found}});
    }
    cases.push_back({"boot entry where a header is due",
                     {initial, boot_entry_at(3001), section_header(0x91, 0xEF, 1), boot_entry_at(3002)},
                     0, {}, {initial_found}});
    cases.push_back({"no section header",
                     {initial}, 0, {}, {initial_found}});
    // The image ends 16 bytes into the third section entry, in the catalog's
    // first sector: the entries that stand whole are read.
    cases.push_back({"catalog runs off the end of the image",
                     {initial, section_header(0x91, 0xEF, 4), boot_entry_at(3001), boot_entry_at(3002),
                      boot_entry_at(3003), boot_entry_at(3004)},
                     kCatalog + 5 * kEntry + 16, {{0x91, 4}},
                     {initial_found, {1, 3001, 0}, {1, 3002, 0}}});
    cases.push_back({"image ends inside the initial entry", {initial}, kCatalog + kEntry + 8, {}, {}});
    return cases;
}

TEST(JsonCatalogWalk, FollowsTheCatalogWithinItsBounds) {
    for (const WalkCase& c : walk_cases()) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> catalog = {validation_entry(0, "WALK")};
        catalog.insert(catalog.end(), c.catalog.begin(), c.catalog.end());
        ImageBuilder image = catalog_image(catalog);
        if (c.image_size != 0) {
            image.resize(c.image_size);
        }
        const Json doc = json_of(image);
        const Json& walked = doc["boot_catalog"];
        ASSERT_EQ(walked["sections"].size(), c.sections.size());
        for (std::size_t i = 0; i < c.sections.size(); ++i) {
            EXPECT_EQ(walked["sections"][i]["header_indicator"], c.sections[i].indicator) << "section " << i;
            EXPECT_EQ(walked["sections"][i]["entry_count"], c.sections[i].count) << "section " << i;
        }
        ASSERT_EQ(walked["entries"].size(), c.entries.size());
        for (std::size_t i = 0; i < c.entries.size(); ++i) {
            const Json& e = walked["entries"][i];
            EXPECT_EQ(e["section"], c.entries[i].section) << "entry " << i;
            EXPECT_EQ(e["load_sector"], c.entries[i].load_sector) << "entry " << i;
            EXPECT_EQ(e["extensions"], c.entries[i].extensions) << "entry " << i;
            const unsigned section = c.entries[i].section;
            const Json platform = section == 0 ? walked["validation_entry"]["platform_id"]
                                               : walked["sections"][section - 1]["platform_id"];
            EXPECT_EQ(e["platform_id"], platform) << "entry " << i;
        }
    }
}

TEST(JsonCatalogWalk, CatalogPastTheEndOfTheImageIsEmptyNotZero) {
    ImageBuilder image = catalog_image({});
    image.put_le32(17 * kSector + 71, 4000);  // the boot record names sector 4000
    const Json doc = json_of(image);
    EXPECT_EQ(doc["boot_catalog"],
              Json::parse(R"({"sector":4000,"validation_entry":null,"sections":[],"entries":[],"file":null})"));
}

TEST(JsonCatalogWalk, ValidationEntryChecksumAndKey) {
    struct Case {
        const char* name;
        std::string entry;
        bool checksum_valid;
        bool key_valid;
    };
    const std::string good = validation_entry(0xEF, "MAKER");
    std::string changed_id = good;
    changed_id[4] = 'N';
    std::string swapped_key = good;
    swapped_key[30] = '\xAA';
    swapped_key[31] = '\x55';
    std::string header_2 = good;
    header_2[0] = 2;
    const Case cases[] = {
        {"as mastered", good, true, true},
        {"a byte changed after the sum", changed_id, false, true},
        {"key bytes AA 55, sum made zero", with_checksum(swapped_key), true, false},
        {"header id 2, sum made zero", with_checksum(header_2), true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Json v = json_of(catalog_image({c.entry, boot_entry_at(3000)}))["boot_catalog"]["validation_entry"];
        EXPECT_EQ(v["header_id"], static_cast<unsigned char>(c.entry[0]));
        EXPECT_EQ(v["platform_id"], 0xEF);
        EXPECT_EQ(v["checksum_valid"], c.checksum_valid);
        EXPECT_EQ(v["key_valid"], c.key_valid);
        EXPECT_EQ(v["checksum"], static_cast<unsigned char>(c.entry[28]) |
                                     static_cast<unsigned char>(c.entry[29]) << 8);
    }
}

// ---- One whole document ------------------------------------------------------

// Every key of the document, in order, from an image with an MBR and GPT
// header, identifiers holding NUL, control and high bytes, a catalog of two
// sections, and boot images with and without tables.
TEST(JsonDocument, EveryKeyInOrderWithTheFixturesValues) {
    VolumeFields v;
    v.system = std::string("SYS\0\x1B[2J\x07", 8);
    v.volume = "VOL\x7F\x80\x85\x9F\xA0\xE9\xFF";
    v.volume_set = "SET\r\n\t\b\f";
    const std::string validation = validation_entry(0, std::string("ID\0\x01\xFE", 5));
    const unsigned validation_checksum =
        static_cast<unsigned char>(validation[28]) | static_cast<unsigned char>(validation[29]) << 8;
    ImageBuilder image = catalog_image(
        {validation,
         boot_entry({0x88, 0, 0x07C0, 0, 4, 22, 0}),
         section_header(0x90, 0xEF, 2, "EFI\xFF"),
         boot_entry({0x00, 0x04, 0, 0x0C, 1, 23, 1}),
         boot_entry({0x88, 0x0F, 0x1234, 0xEF, 0xFFFF, 0xFFFFFFFFu, 0xFF}),
         section_header(0x91, 0x01, 1, ""),
         boot_entry({0x88, 0x02, 0, 0, 1, 24, 0})});
    put_primary_volume(image, v);
    image.put_u8(510, 0x55).put_u8(511, 0xAA);
    image.put_u8(446, 0x80).put_u8(450, 0xCD).put_le32(454, 1).put_le32(458, 0xFFFFFFFFu);  // partition 1
    image.put_u8(446 + 48 + 4, 0xEF).put_le32(446 + 48 + 8, 64).put_le32(446 + 48 + 12, 2048);  // 4
    image.put(512, "EFI PART");
    // Sector 22: a table over 2048 bytes whose words after byte 64 sum to
    // 0x01020304 + 0xFFFFFFFF (mod 2^32) = 0x01020303; sector 23: a table
    // whose stored checksum is wrong; sector 24: no table.
    put_boot_table(image, 22, 16, 22, 2048, std::string("\x03\x03\x02\x01", 4));
    image.put_le32(22 * kSector + 64, 0x01020304).put_le32(22 * kSector + 2044, 0xFFFFFFFFu);
    put_boot_table(image, 23, 16, 23, 100, std::string("\x01\x00\x00\x00", 4));
    image.put_le32(24 * kSector + 12, 25).resize(25 * kSector);
    const Json doc = json_of(image);

    const auto text = [](const std::string& bytes) {
        std::string utf8;
        for (const char c : bytes) {
            const unsigned char b = static_cast<unsigned char>(c);
            if (b < 0x80) {
                utf8.push_back(c);
            } else {
                utf8.push_back(static_cast<char>(0xC0 | (b >> 6)));
                utf8.push_back(static_cast<char>(0x80 | (b & 0x3F)));
            }
        }
        return utf8;
    };
    const auto padded = [&](const std::string& bytes, std::size_t width) {
        return text(bytes + std::string(width - bytes.size(), ' '));
    };
    const auto nul_padded = [&](const std::string& bytes, std::size_t width) {
        return text(bytes + std::string(width - bytes.size(), '\0'));
    };
    const auto entry = [](unsigned section, unsigned platform, unsigned indicator, unsigned media,
                          const char* emulation, unsigned segment, unsigned system, unsigned count,
                          std::uint32_t sector, unsigned criteria, const Json& table) {
        return Json{{"section", section}, {"platform_id", platform}, {"boot_indicator", indicator},
                    {"bootable", indicator == 0x88}, {"media_type", media}, {"emulation", emulation},
                    {"load_segment", segment}, {"system_type", system}, {"sector_count", count},
                    {"load_sector", sector}, {"selection_criteria", criteria},
                    {"boot_info_table", table}, {"extensions", 0}, {"file", nullptr}};
    };
    const auto table = [](std::uint32_t sector, std::uint32_t length, std::uint32_t sum, bool valid) {
        return Json{{"pvd_sector", 16}, {"file_sector", sector}, {"length", length},
                    {"checksum", sum}, {"checksum_valid", valid}};
    };
    const auto descriptor = [](unsigned sector, unsigned type) {
        return Json{{"sector", sector}, {"type", type}, {"identifier", "CD001"}, {"version", 1}};
    };
    const Json expected = {
        {"image", "fixture.iso"},
        {"image_size", 25 * kSector},
        {"system_area",
         {{"mbr_signature", true},
          {"partitions",
           {{{"number", 1}, {"bootable", true}, {"type", 0xCD}, {"first_sector", 1}, {"sectors", 0xFFFFFFFFu}},
            {{"number", 4}, {"bootable", false}, {"type", 0xEF}, {"first_sector", 64}, {"sectors", 2048}}}},
          {"gpt", true}}},
        {"volume_descriptors", {descriptor(16, 1), descriptor(17, 0), descriptor(18, 255)}},
        {"primary_volume",
         {{"sector", 16},
          {"system_identifier", padded(v.system, 32)},
          {"volume_identifier", padded(v.volume, 32)},
          {"volume_set_identifier", padded(v.volume_set, 128)},
          {"publisher_identifier", padded(v.publisher, 128)},
          {"data_preparer_identifier", padded(v.preparer, 128)},
          {"application_identifier", padded(v.application, 128)},
          {"logical_block_size", 2048},
          {"volume_space_size", 64},
          {"path_table_sector", 19},
          {"root_directory_sector", 21}}},
        {"boot_record",
         {{"sector", 17},
          {"boot_system_identifier", nul_padded("EL TORITO SPECIFICATION", 32)},
          {"catalog_sector", kCatalogSector}}},
        {"boot_catalog",
         {{"sector", kCatalogSector},
          {"validation_entry",
           {{"header_id", 1}, {"platform_id", 0}, {"id_string", nul_padded(std::string("ID\0\x01\xFE", 5), 24)},
            {"checksum_valid", true}, {"key_valid", true}, {"checksum", validation_checksum}}},
          {"sections",
           {{{"header_indicator", 0x90}, {"platform_id", 0xEF}, {"entry_count", 2},
             {"id_string", nul_padded("EFI\xFF", 28)}},
            {{"header_indicator", 0x91}, {"platform_id", 0x01}, {"entry_count", 1},
             {"id_string", nul_padded("", 28)}}}},
          {"entries",
           {entry(0, 0, 0x88, 0, "none", 0x07C0, 0, 4, 22, 0, table(22, 2048, 0x01020303, true)),
            entry(1, 0xEF, 0x00, 4, "hard disk", 0, 0x0C, 1, 23, 1, table(23, 100, 1, false)),
            entry(1, 0xEF, 0x88, 0x0F, "unknown", 0x1234, 0xEF, 0xFFFF, 0xFFFFFFFFu, 0xFF, nullptr),
            entry(2, 0x01, 0x88, 2, "1.44M floppy", 0, 0, 1, 24, 0, nullptr)}},
          {"file", nullptr}}},
        {"findings", Json::array()}};
    EXPECT_EQ(doc, expected) << "got:      " << doc.dump() << "\nexpected: " << expected.dump();
    // The identifiers give back their exact bytes.
    EXPECT_EQ(stored_bytes(doc["primary_volume"]["system_identifier"]), v.system + std::string(24, ' '));
    EXPECT_EQ(stored_bytes(doc["primary_volume"]["volume_identifier"]), v.volume + std::string(22, ' '));
}

TEST(JsonDocument, EveryByteOutsidePrintableAsciiIsWrittenAsU00XX) {
    VolumeFields v;
    v.volume = std::string("\0\x01\x08\x09\x0A\x0C\x0D\x1B\x7F\x80\x9F\xE9\xFF\"\\/", 16);
    ImageBuilder image = catalog_image({});
    put_primary_volume(image, v);
    const std::string line = json_line(image.bytes());
    EXPECT_NE(line.find(R"("volume_identifier":"\u0000\u0001\u0008\u0009\u000a\u000c\u000d\u001b)"
                        R"(\u007f\u0080\u009f\u00e9\u00ff\"\\/                ")"),
              std::string::npos)
        << line;
}

TEST(JsonDocument, NoBootRecordNoVolumeAndShortImages) {
    // An image of 300 bytes holds no system area; one of 17 sectors only a
    // primary volume; a boot record whose identifier is not El Torito's
    // gives no catalog.
    const Json tiny = json_of(ImageBuilder(300));
    EXPECT_EQ(tiny["image_size"], 300);
    EXPECT_EQ(tiny["system_area"], nullptr);
    EXPECT_EQ(tiny["volume_descriptors"], Json::array());
    EXPECT_EQ(tiny["primary_volume"], nullptr);
    EXPECT_EQ(tiny["boot_record"], nullptr);
    EXPECT_EQ(tiny["boot_catalog"], nullptr);

    ImageBuilder volume_only = catalog_image({});
    volume_only.resize(17 * kSector);
    const Json v = json_of(volume_only);
    EXPECT_EQ(v["system_area"], Json::parse(R"({"mbr_signature":false,"partitions":[],"gpt":false})"));
    EXPECT_EQ(v["volume_descriptors"].size(), 1u);
    EXPECT_EQ(v["primary_volume"]["volume_space_size"], 64);
    EXPECT_EQ(v["boot_record"], nullptr);
    EXPECT_EQ(v["boot_catalog"], nullptr);

    ImageBuilder other_record = catalog_image({validation_entry(0, "X"), boot_entry_at(3000)});
    other_record.put(17 * kSector + 7 + 23, "!");
    const Json o = json_of(other_record);
    EXPECT_EQ(o["volume_descriptors"][1]["type"], 0);
    EXPECT_EQ(o["boot_record"], nullptr);
    EXPECT_EQ(o["boot_catalog"], nullptr);
}

TEST(JsonDocument, ImageIsThePathReadAsUtf8) {
    struct Case {
        std::string path;
        std::string shown;  // UTF-8
    };
    const Case cases[] = {
        {"disc.iso", "disc.iso"},
        {"caf\xC3\xA9/\xE2\x82\xAC.iso", "caf\xC3\xA9/\xE2\x82\xAC.iso"},
        {"bad\xFF\xFE.iso", "bad\xEF\xBF\xBD\xEF\xBF\xBD.iso"},
        {"cut\xC3", "cut\xEF\xBF\xBD"},
        {"line\nend\x1B", "line\nend\x1B"},
    };
    const ImageBuilder image = catalog_image({});
    for (const Case& c : cases) {
        const Json doc = Json::parse(json_line(image.bytes(), c.path.c_str()));
        EXPECT_EQ(doc["image"], c.shown) << c.path;
    }
}

// ---- Boot information tables ---------------------------------------------------

TEST(JsonBootInfoTable, ChecksumOverTheFileItsLengthAndTheEndOfTheImage) {
    struct Case {
        const char* name;
        std::uint32_t length;
        std::uint32_t stored;
        std::size_t image_size;   // the image ends at this byte
        Json checksum_valid;
    };
    // The boot image at sector 22 holds the words 0x11111111 at byte 64 and
    // 0x00BBAA99 at byte 2048 (bytes 99 AA BB): a length of 2051 ends in a
    // partial word, padded with a zero byte; 2050 takes only 99 AA.
    const Case cases[] = {
        {"length within the image", 2048, 0x11111111, 24 * kSector, true},
        {"wrong checksum", 2048, 0x11111112, 24 * kSector, false},
        {"partial last word", 2051, 0x11111111 + 0x00BBAA99, 24 * kSector, true},
        {"two bytes of the last word", 2050, 0x11111111 + 0x0000AA99, 24 * kSector, true},
        {"length shorter than the table", 10, 0, 24 * kSector, true},
        {"length ends at the image's end", 2 * kSector, 0x11111111 + 0x00BBAA99, 24 * kSector, true},
        {"length one byte past the end", 2 * kSector + 1, 0x11111111 + 0x00BBAA99, 24 * kSector, nullptr},
        {"length of 4 GiB on a small image", 0xFFFFFFFFu, 0, 24 * kSector, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImageBuilder image = catalog_image({validation_entry(0, ""), boot_entry_at(22)});
        put_boot_table(image, 22, 16, 22, c.length, le32(c.stored));
        image.put_le32(22 * kSector + 64, 0x11111111).put(23 * kSector, "\x99\xAA\xBB");
        image.resize(c.image_size);
        const Json table = json_of(image)["boot_catalog"]["entries"][0]["boot_info_table"];
        EXPECT_EQ(table, (Json{{"pvd_sector", 16}, {"file_sector", 22}, {"length", c.length},
                               {"checksum", c.stored}, {"checksum_valid", c.checksum_valid}}));
    }
}

TEST(JsonBootInfoTable, NoTableWhereTheBootImageIsShortOrNamesAnotherSector) {
    ImageBuilder image = catalog_image({validation_entry(0, ""), boot_entry_at(22), section_header(0x91, 0, 1),
                                        boot_entry_at(23)});
    put_boot_table(image, 22, 16, 21, 2048, "ABCD");  // names sector 21
    put_boot_table(image, 23, 16, 23, 2048, "ABCD");
    image.resize(23 * kSector + 63);                   // the table's 64 bytes are not all there
    const Json doc = json_of(image);
    EXPECT_EQ(doc["boot_catalog"]["entries"][0]["boot_info_table"], nullptr);
    EXPECT_EQ(doc["boot_catalog"]["entries"][1]["boot_info_table"], nullptr);
}

// Boot information tables at sectors first..last of a 4 MiB image, each
// naming its own sector and a length to the image's end (an all-zero file,
// checksum 0), then `repeats` more entries loading the table at `first`:
// the model, and how many reads reached the source.
struct ManyTables {
    Json catalog;
    std::size_t system_reads;
    std::uint64_t image_size;
};

ManyTables many_tables(std::uint32_t first, std::uint32_t last, std::size_t repeats) {
    constexpr std::uint32_t kSectors = 2048;
    std::vector<std::string> catalog = {validation_entry(0, "TABLES"), boot_entry_at(first)};
    const std::size_t count = last - first + repeats;
    catalog.push_back(section_header(0x91, 0, static_cast<unsigned>(count)));
    for (std::uint32_t sector = first + 1; sector <= last; ++sector) {
        catalog.push_back(boot_entry_at(sector));
    }
    catalog.insert(catalog.end(), repeats, boot_entry_at(first));
    ImageBuilder image = catalog_image(catalog);
    image.resize(kSectors * kSector);
    for (std::uint32_t sector = first; sector <= last; ++sector) {
        put_boot_table(image, sector, 16, sector, (kSectors - sector) * kSector, le32(0));
    }
    const std::unique_ptr<ImageSource> source(new ImageSource);
    memory_image_source(*source, "tables.iso", image.bytes().data(), image.size());
    ImageModel model;
    read_model(*source, "tables.iso", ModelOptions{false}, model);
    return {Json::parse(model_json(model))["boot_catalog"], source->system_reads, image.size()};
}

TEST(JsonBootInfoTable, ChecksumsOfOverlappingBootFilesReadTheImageAboutOnce) {
    // A thousand tables whose files overlap would read about 1 GiB of a
    // 4 MiB image; the checksums read no more than the image's size in all,
    // and a table whose file no longer fits in that says null.
    const ManyTables t = many_tables(1000, 1999, 0);
    const Json& entries = t.catalog["entries"];
    ASSERT_EQ(entries.size(), 1000u);
    EXPECT_TRUE(entries[0]["boot_info_table"]["checksum_valid"].is_boolean());
    EXPECT_TRUE(entries[1]["boot_info_table"]["checksum_valid"].is_null()) << "2 MiB more after 2 MiB";
    std::uint64_t summed = 0;
    for (const Json& entry : entries) {
        const Json& table = entry["boot_info_table"];
        EXPECT_TRUE(table["checksum_valid"].is_boolean() || table["checksum_valid"].is_null());
        if (table["checksum_valid"].is_boolean()) {
            summed += table["length"].get<std::uint64_t>() - 64;
        }
    }
    EXPECT_LE(summed, t.image_size);
    const std::size_t blocks = t.image_size / kImageBlockSize;
    EXPECT_LE(t.system_reads, 2 * blocks + 2 * entries.size()) << "reads of 32 KiB blocks";

    // The same table loaded by two thousand entries is summed once.
    const ManyTables same = many_tables(100, 100, 2000);
    ASSERT_EQ(same.catalog["entries"].size(), 2001u);
    for (const Json& entry : same.catalog["entries"]) {
        EXPECT_EQ(entry["boot_info_table"]["checksum_valid"], true);
    }
    EXPECT_LE(same.system_reads, 2 * blocks + 8);
}

// ---- Images as files, through the executable -------------------------------------

// An image of 64 GiB with only its first sectors and three boot images
// written; a sparse file takes a few kilobytes of disk.
class SparseImage : public ::testing::Test {
protected:
    static constexpr std::uint64_t kSize = 64ull << 30;
    void write_at(int fd, std::uint64_t position, const std::string& bytes) {
        ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(position)),
                  static_cast<ssize_t>(bytes.size()));
    }
    std::string table(std::uint32_t sector, std::uint32_t length, std::uint32_t checksum) {
        return std::string(8, '\x90') + le32(16) + le32(sector) + le32(length) + le32(checksum) +
               std::string(40, '\0');
    }
    ScratchDir dir_;
};

// The sanitizers reserve terabytes of address space, so a sanitized build
// cannot run under a limit of it.
#if defined(__SANITIZE_ADDRESS__)
#define TOLVANE_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOLVANE_TEST_SANITIZED 1
#endif
#endif
#ifdef TOLVANE_TEST_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The command run under a limit of 256 MiB of address space, when the build
// allows one: a length in the image that made the tool allocate would fail.
std::vector<std::string> limited(const std::vector<std::string>& args) {
    if (kSanitized) {
        return args;
    }
    std::vector<std::string> shell = {"/bin/sh", "-c", "ulimit -v 262144 && exec \"$@\"", "sh"};
    shell.insert(shell.end(), args.begin(), args.end());
    return shell;
}

TEST_F(SparseImage, BootFilesAboveFourGibibytesAndLengthsThatDoNotAllocate) {
    // Boot images at 5 GiB (a table with its checksum), at 48 GiB (a length
    // of 512 MiB, twice the address space the run may have: its checksum
    // reads the sparse bytes in chunks) and 2 KiB before the end (a length
    // of 4 GiB running past it, not read at all).
    constexpr std::uint32_t kFiveGib = 5u << 19;           // sector of 5 GiB
    constexpr std::uint32_t kLarge = 48u << 19;            // sector of 48 GiB
    constexpr std::uint32_t kLast = (64u << 19) - 1;       // the last sector
    constexpr std::uint32_t kLargeLength = 0x20000000u;
    ImageBuilder low = catalog_image({validation_entry(0, "SPARSE"), boot_entry_at(kFiveGib),
                                      section_header(0x91, 0xEF, 2), boot_entry_at(kLarge),
                                      boot_entry_at(kLast)});
    const std::string path = dir_.path() + "/sparse.iso";
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kSize)), 0);
    write_at(fd, 0, std::string(low.bytes().begin(), low.bytes().end()));
    write_at(fd, kFiveGib * kSector, table(kFiveGib, 4096, 0x0A0B0C0D + 0x01000000));
    write_at(fd, kFiveGib * kSector + 64, le32(0x0A0B0C0D));
    write_at(fd, kFiveGib * kSector + 4092, le32(0x01000000));
    write_at(fd, kLarge * kSector, table(kLarge, kLargeLength, 0x7));
    write_at(fd, kLarge * kSector + 64, le32(3));
    write_at(fd, kLarge * kSector + kLargeLength - 4, le32(4));
    write_at(fd, kLast * kSector, table(kLast, 0xFFFFFFFFu, 0));
    ASSERT_EQ(close(fd), 0);

    const CommandResult result = run_command(limited({kTool, "--json", path}));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    ASSERT_EQ(result.out.back(), '\n');
    expect_printable_ascii(result.out.substr(0, result.out.size() - 1));
    const Json doc = Json::parse(result.out);
    EXPECT_EQ(doc["image_size"], kSize);
    const Json& entries = doc["boot_catalog"]["entries"];
    ASSERT_EQ(entries.size(), 3u);
    const auto expected_table = [](std::uint32_t sector, std::uint32_t length, std::uint32_t sum,
                                   const Json& valid) {
        return Json{{"pvd_sector", 16}, {"file_sector", sector}, {"length", length},
                    {"checksum", sum}, {"checksum_valid", valid}};
    };
    EXPECT_EQ(entries[0]["boot_info_table"], expected_table(kFiveGib, 4096, 0x0B0B0C0D, true));
    EXPECT_EQ(entries[1]["boot_info_table"], expected_table(kLarge, kLargeLength, 7, true));
    EXPECT_EQ(entries[2]["boot_info_table"], expected_table(kLast, 0xFFFFFFFFu, 0, nullptr));
}

TEST(JsonRun, SeveralImagesOneMissing) {
    ScratchDir dir;
    const std::string first = dir.write("first.iso", catalog_image({validation_entry(0, "ONE"), boot_entry_at(30)}));
    const std::string second = dir.write("second.iso", catalog_image({}));
    const std::string missing = dir.path() + "/missing.iso";
    const CommandResult result = run_command({kTool, "--json", first, missing, second});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "tolvane: " + missing + ": No such file or directory\n");
    // Each line is the document of its image alone, as a run on it gives.
    const CommandResult one = run_command({kTool, "--json", first});
    const CommandResult two = run_command({kTool, "--json", "--", second});
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(two.status, 0);
    EXPECT_EQ(result.out, one.out + two.out);
    const std::vector<std::string> images = {first, second};
    std::size_t start = 0;
    for (const std::string& image : images) {
        const std::size_t end = result.out.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = result.out.substr(start, end - start);
        expect_printable_ascii(line);
        const Json doc = Json::parse(line);
        EXPECT_EQ(doc["image"], image);
        EXPECT_TRUE(doc["findings"].is_array());  // what --check finds; judged in its own tests
        start = end + 1;
    }
    EXPECT_EQ(start, result.out.size());
    EXPECT_EQ(Json::parse(one.out)["boot_catalog"]["entries"][0]["load_sector"], 30);
    // A catalog of zero bytes: a validation entry and an initial entry of
    // zeros, and no section header.
    EXPECT_EQ(Json::parse(two.out)["boot_catalog"]["entries"][0]["bootable"], false);
    EXPECT_EQ(Json::parse(two.out)["boot_catalog"]["sections"].size(), 0u);
}

TEST(JsonRun, CommandLine) {
    ScratchDir dir;
    const std::string image = dir.write("-dash.iso", catalog_image({}));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::size_t lines;
        std::string err;
    };
    const Case cases[] = {
        {{"--json"}, 2, 0, "usage: tolvane --json [--] IMAGE...\n"},
        {{"--json", "--"}, 2, 0, "usage: tolvane --json [--] IMAGE...\n"},
        {{"--json", "-x"}, 2, 0, "tolvane: unknown option '-x'\nTry 'tolvane --help' for more information.\n"},
        {{"--json", "--", image}, 0, 1, ""},
        {{"--json", "--", image, image}, 0, 2, ""},
        {{"--json", dir.path()}, 1, 0, "tolvane: " + dir.path() + ": "},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {kTool};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CommandResult result = run_command(args);
        SCOPED_TRACE(c.args.back());
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err.substr(0, c.err.size()), c.err);
        EXPECT_EQ(static_cast<std::size_t>(std::count(result.out.begin(), result.out.end(), '\n')), c.lines);
        if (c.status != 1) {
            EXPECT_EQ(result.err.size(), c.err.size()) << result.err;
        }
    }
    const CommandResult full = run_command({kTool, "--json", "--", image}, StdoutTo::dev_full);
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "tolvane: error writing standard output: No space left on device\n");
}

}  // namespace
