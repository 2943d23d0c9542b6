// Images made by real mastering tools, and what independent readers say of
// them: the shared part of the real-images tests.
//
// Each test masters an image at test time with xorriso (-as mkisofs) or
// genisoimage in a temporary folder, runs tolvane on it and compares the
// whole report with one assembled from two other sources: what the image
// was made with (identifiers, boot options, the boot files' bytes) and what
// independent readers say about the same image (isoinfo -d/-p/-l, xorriso
// -report_el_torito and -report_system_area, dumpet -i). Where two sources
// give the same value they are checked against each other first, and every
// failure shows both values and where each came from. Nothing here runs
// tolvane's own code but the executable under test.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "run_command.hpp"

// Each test file that includes this gets its own copy (test code only).
namespace {

namespace fs = std::filesystem;

const std::string kTolvane = TOLVANE_EXECUTABLE;
const std::string kSeparator = "*****************************************";
constexpr std::uint64_t kSector = 2048;

// ---------------------------------------------------------------------------
// The other programs, found on PATH.

struct Program {
    const char* name;
    const char* package;  // the Debian package that installs it
};
const Program kPrograms[] = {
    {"xorriso", "xorriso"}, {"genisoimage", "genisoimage"}, {"isoinfo", "genisoimage"},
    {"dumpet", "dumpet"},   {"mformat", "mtools"},
};

std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

CommandResult run_program(const std::string& name, std::vector<std::string> args) {
    args.insert(args.begin(), find_program(name));
    return run_command(args);
}

// Runs a program that must succeed; on failure the test fails with its output.
std::string run_ok(const std::string& name, const std::vector<std::string>& args) {
    const CommandResult result = run_program(name, args);
    EXPECT_EQ(result.status, 0) << name << " failed:\n" << result.out << result.err;
    return result.out;
}

// ---------------------------------------------------------------------------
// Reading other programs' output: only the few values the report needs.

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::string without_leading_blanks(const std::string& line) {
    const std::size_t first = line.find_first_not_of(" \t");
    return first == std::string::npos ? "" : line.substr(first);
}

// The rest of the first line that starts with `key` after its leading blanks.
std::optional<std::string> value_after(const std::string& output, const std::string& key) {
    for (const std::string& line : lines_of(output)) {
        const std::string trimmed = without_leading_blanks(line);
        if (trimmed.compare(0, key.size(), key) == 0) {
            return trimmed.substr(key.size());
        }
    }
    return std::nullopt;
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        result.push_back(word);
    }
    return result;
}

// A number as the other program writes it: decimal (hexadecimal when `base`
// is 16), or hexadecimal after "0x". Text after the number is ignored.
std::uint64_t number(const std::string& text, int base = 10) {
    const std::string digits = without_leading_blanks(text);
    if (digits.compare(0, 2, "0x") == 0) {
        return std::strtoull(digits.c_str() + 2, nullptr, 16);
    }
    return std::strtoull(digits.c_str(), nullptr, base);
}

// The text between the first and the last double or single quote.
std::string quoted(const std::string& text, char quote) {
    const std::size_t first = text.find(quote);
    const std::size_t last = text.rfind(quote);
    return first == std::string::npos || last <= first ? "" : text.substr(first + 1, last - first - 1);
}

// A value a reader must show; when it does not, the test fails with the
// reader's output and goes on with the empty text.
std::string need(const std::optional<std::string>& value, const std::string& what,
                 const std::string& output) {
    EXPECT_TRUE(value.has_value()) << what << " not found in:\n" << output;
    return value.value_or("");
}

// A boot catalog entry as a reader shows it.
struct Entry {
    unsigned indicator = 0;   // 0x88 bootable, 0x00 not bootable
    unsigned platform = 0;    // the platform of its section (or of the catalog)
    unsigned media = 0;       // 0 no emulation, 1..3 floppy, 4 hard disk
    std::uint64_t count = 0;  // the load size as stored, in 512-byte sectors
    std::uint64_t sector = 0; // load sector
};

// "fd1.2", "1.2MB floppy diskette emulation", "none", "no emulation", ...
unsigned media_from_text(const std::string& text) {
    if (text.find("1.2") != std::string::npos) return 1;
    if (text.find("1.4") != std::string::npos) return 2;
    if (text.find("2.8") != std::string::npos) return 3;
    if (text.find("hard") != std::string::npos || text == "hd") return 4;
    return 0;
}

// xorriso -report_el_torito plain: one line per boot image, in catalog order:
// "El Torito boot img :   1  BIOS  y   none  0x0000  0x00      4          34".
std::vector<Entry> xorriso_entries(const std::string& output, std::vector<bool>* tables) {
    std::vector<Entry> entries;
    for (const std::string& line : lines_of(output)) {
        const std::string key = "El Torito boot img :";
        if (line.compare(0, key.size(), key) == 0) {
            const std::vector<std::string> w = words(line.substr(key.size()));
            if (w.size() < 8) {
                ADD_FAILURE() << "unexpected xorriso line: " << line;
                continue;
            }
            Entry entry;
            entry.platform = w[1] == "BIOS" ? 0x00 : w[1] == "UEFI" ? 0xEF
                           : w[1] == "PPC" ? 0x01 : w[1] == "Mac" ? 0x02
                           : static_cast<unsigned>(number(w[1]));
            entry.indicator = w[2] == "y" ? 0x88 : 0x00;
            entry.media = media_from_text(w[3]);
            entry.count = number(w[6]);
            entry.sector = number(w[7]);
            entries.push_back(entry);
        }
    }
    tables->assign(entries.size(), false);
    for (const std::string& line : lines_of(output)) {
        const std::string key = "El Torito img opts :";
        if (line.compare(0, key.size(), key) == 0 &&
            line.find("boot-info-table") != std::string::npos) {
            const std::size_t index = number(line.substr(key.size()));
            if (index >= 1 && index <= tables->size()) {
                (*tables)[index - 1] = true;
            }
        }
    }
    return entries;
}

// dumpet -i: a block per catalog entry, a title line and tab-indented lines.
struct Block {
    std::string title;
    std::string body;
};

std::vector<Block> dumpet_blocks(const std::string& output) {
    std::vector<Block> blocks;
    for (const std::string& line : lines_of(output)) {
        if (!line.empty() && line[0] != '\t') {
            blocks.push_back(Block{line, ""});
        } else if (!blocks.empty()) {
            blocks.back().body += line + "\n";
        }
    }
    return blocks;
}

std::vector<const Block*> blocks_titled(const std::vector<Block>& blocks, const std::string& title) {
    std::vector<const Block*> found;
    for (const Block& block : blocks) {
        if (block.title == title) {
            found.push_back(&block);
        }
    }
    return found;
}

Entry dumpet_entry(const Block& block) {
    Entry entry;
    entry.indicator = block.body.find("Entry is bootable") != std::string::npos ? 0x88 : 0x00;
    entry.media = media_from_text(need(value_after(block.body, "Boot Media emulation type: "),
                                       "dumpet emulation type", block.body));
    entry.count = number(need(value_after(block.body, "Load Sectors: "), "dumpet load sectors", block.body));
    entry.sector = number(need(value_after(block.body, "Load LBA: "), "dumpet load LBA", block.body));
    return entry;
}

// ---------------------------------------------------------------------------
// How an image is made.

// A boot image: a file of the tree named by -b (or -e for EFI).
struct BootFile {
    std::string name;            // path inside the tree
    std::string bytes;           // its first bytes, as written before mastering
    std::uint64_t size = 0;      // its length; zero bytes follow `bytes`
    unsigned platform = 0x00;    // 0x00 by -b, 0xEF by -e
    unsigned media = 0;          // 0: -no-emul-boot; 1, 2, 3: floppy sized 1.2, 1.44, 2.88 MB
    int load_size = -1;          // -boot-load-size, or -1 to let the tool choose
    bool table = false;          // -boot-info-table
    std::string eltorito_id;     // xorriso's -eltorito-id for the entry's section, or empty
    std::vector<std::string> after;  // further options that apply to this entry
    bool fat = false;            // made by mformat as a FAT file system of `size` bytes
};

struct Identifiers {
    std::optional<std::string> system, volume, volume_set, publisher, preparer, application;
};

struct Recipe {
    std::string tool = "xorriso";       // or "genisoimage"
    Identifiers ids;
    std::vector<BootFile> boot;         // in catalog order: default entry, then sections
    std::vector<std::string> options;   // given before the boot options
    std::uint32_t session_start = 0;    // -C 0,N: the sector the volume is meant to start at
};

// `length` bytes of boot code of our own: cli; hlt; jmp $-1, then NOPs where
// a boot information table may be written (bytes 8 to 63; as NOPs they name
// no sector, so without a table no table lines are due), then `message`, so
// that a table's checksum is not zero.
std::string boot_program(const std::string& message, std::size_t length) {
    std::string bytes = "\xFA\xF4\xEB\xFD";
    bytes += std::string(60, '\x90');
    bytes += message;
    bytes.resize(length, '\0');
    return bytes;
}

BootFile bios_boot(bool table) {
    BootFile file;
    file.name = "boot/boot.bin";
    // 3000 bytes: bi_length must be the file's length, not a sector multiple.
    file.bytes = boot_program("tolvane real-image test: this boot image only halts.", 3000);
    file.size = file.bytes.size();
    file.load_size = 4;
    file.table = table;
    return file;
}

BootFile efi_boot(const std::string& name, std::uint64_t size) {
    BootFile file;
    file.name = name;
    file.size = size;
    file.platform = 0xEF;
    file.fat = true;
    return file;
}

// A floppy image: a boot sector, then zero bytes (a sparse file) up to the
// size that selects the emulation.
BootFile floppy_boot(unsigned media) {
    const std::uint64_t sizes[] = {0, 1228800, 1474560, 2949120};
    BootFile file;
    file.name = "boot/floppy.img";
    file.bytes = boot_program("tolvane floppy", 510) + "\x55\xAA";
    file.size = sizes[media];
    file.media = media;
    return file;
}

// The El Torito boot information table's checksum: the sum of the file's
// 32-bit little-endian words from byte 64 to its end. Taken from the bytes
// written before mastering (genisoimage writes the table into the tree's
// file itself; the table ends at byte 63 and so never counts).
std::uint32_t boot_table_checksum(const BootFile& file) {
    std::string bytes = file.bytes;
    bytes.resize((bytes.size() + 3) / 4 * 4, '\0');  // zero bytes follow, adding nothing
    std::uint32_t sum = 0;
    for (std::size_t i = 64; i + 4 <= bytes.size(); i += 4) {
        sum += static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) |
               static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 2])) << 16 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 3])) << 24;
    }
    return sum;
}

// The identifiers most tests use: one of a field's full width (32 and 128
// bytes) and one with inner spaces.
Identifiers test_identifiers() {
    Identifiers ids;
    ids.system = "TOLVANE TEST SYSTEM";
    ids.volume = "TOLVANE_REAL_IMAGES_FULL_WIDTH32";
    ids.volume_set = "TOLVANE  REAL   IMAGES";
    std::string publisher = "TOLVANE PUBLISHER, FULL FIELD WIDTH: ";
    while (publisher.size() < 128) {
        publisher += static_cast<char>('0' + publisher.size() % 10);
    }
    ids.publisher = publisher;
    ids.preparer = "TESTS/REAL_IMAGES_TEST.CPP";
    ids.application = "TOLVANE REAL-IMAGE SUITE";
    return ids;
}

// ---------------------------------------------------------------------------
// What the report must hold, line by line, with where each value came from.

struct ExpectedLine {
    std::string text;
    std::string source;
};

std::string hex(std::uint64_t value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    do {
        text.insert(text.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    while (text.size() < static_cast<std::size_t>(digits)) {
        text.insert(text.begin(), '0');
    }
    return text;
}
std::string sector_value(std::uint64_t sector) {
    return "$" + hex(sector, 8) + " (" + std::to_string(sector * kSector) + ")";
}
std::string count_value(std::uint64_t count) {
    return "$" + hex(count, 4) + " (" + std::to_string(count * 512) + ")";
}

// The first `width` bytes of `text`, NUL bytes after it.
std::string nul_padded(const std::string& text, std::size_t width) {
    std::string field = text.substr(0, width);
    field.resize(width, '\0');
    return field;
}

template <typename T>
T agreed(const T& first, const std::string& first_source, const T& second,
         const std::string& second_source, const std::string& what) {
    EXPECT_EQ(first, second) << what << ": " << first_source << " gives " << first << ", "
                             << second_source << " gives " << second;
    return first;
}

// The independent readers' output for one image.
struct Readers {
    std::string isoinfo, path_table, listing, xorriso, dumpet;
    int dumpet_status = 0;
};

Readers read_with_others(const std::string& image) {
    Readers r;
    r.isoinfo = run_ok("isoinfo", {"-d", "-i", image});
    r.path_table = run_ok("isoinfo", {"-p", "-i", image});
    r.listing = run_ok("isoinfo", {"-l", "-i", image});
    r.xorriso = run_ok("xorriso", {"-indev", image, "-report_el_torito", "plain",
                                   "-report_system_area", "plain"});
    const CommandResult dumpet = run_program("dumpet", {"-i", image});
    r.dumpet = dumpet.out + dumpet.err;
    r.dumpet_status = dumpet.status;
    return r;
}

class Expected {
public:
    void add(const std::string& text, const std::string& source) { lines_.push_back({text, source}); }
    const std::vector<ExpectedLine>& lines() const { return lines_; }

private:
    std::vector<ExpectedLine> lines_;
};

void add_identifier(Expected& expected, const Readers& r, const std::string& label,
                    const std::string& isoinfo_key, const std::optional<std::string>& option,
                    std::size_t width) {
    // isoinfo shows a field up to its trailing spaces; ISO 9660 pads
    // identifiers with spaces, and a field of spaces only is its label alone.
    const std::string shown = need(value_after(r.isoinfo, isoinfo_key), "isoinfo " + isoinfo_key, r.isoinfo);
    std::string value = shown;
    std::string source = "isoinfo -d";
    if (option) {
        value = agreed(*option, "the mastering option", shown, "isoinfo -d", label);
        source = "the mastering option and isoinfo -d";
    }
    expected.add(label + (value.empty() ? "" : value + std::string(width - value.size(), ' ')), source);
}

void add_entry(Expected& expected, const Entry& entry, const std::string& source) {
    // A floppy emulation's entry stands for the whole floppy.
    const std::uint64_t floppy[] = {0, 2400, 2880, 5760};
    const std::uint64_t count = entry.media >= 1 && entry.media <= 3 ? floppy[entry.media] : entry.count;
    expected.add("boot_indicator:$" + hex(entry.indicator, 2), source);
    expected.add("boot_media_type:" + std::to_string(entry.media), source);
    expected.add("starting_sector:" + sector_value(entry.sector), source);
    expected.add("virtual_sector_count:" + count_value(count), source);
}

void add_table(Expected& expected, const Recipe& recipe, const BootFile& file, const Entry& entry) {
    // The session's primary volume descriptor is its sector 16.
    expected.add("boot_table.bi_pvd_lba:" + sector_value(recipe.session_start + 16ull),
                 "ISO 9660 (sector 16 of the session)");
    expected.add("boot_table.bi_file_lba:" + sector_value(entry.sector), "the readers' load sector");
    expected.add("boot_table.bi_length:" + std::to_string(file.size), "the boot file's length");
    const std::uint32_t sum = boot_table_checksum(file);
    std::string in_image_order;
    for (int i = 0; i < 4; ++i) {
        in_image_order += hex((sum >> (8 * i)) & 0xFF, 2);
    }
    expected.add("boot_table.bi_csum:$" + in_image_order, "the boot file's bytes");
}

// Checks one catalog entry as xorriso, dumpet (and isoinfo for the default
// entry) show it against each other and against the options it was made with.
Entry agreed_entry(const Entry& xorriso, const Entry& dumpet, const BootFile& file, const std::string& what) {
    Entry entry;
    entry.indicator = agreed(xorriso.indicator, "xorriso", dumpet.indicator, "dumpet", what + " boot indicator");
    entry.media = agreed(xorriso.media, "xorriso", dumpet.media, "dumpet", what + " media type");
    agreed(entry.media, "the readers", file.media, "the mastering options", what + " media type");
    entry.count = agreed(xorriso.count, "xorriso", dumpet.count, "dumpet", what + " load size");
    if (file.load_size >= 0) {
        agreed(entry.count, "the readers", static_cast<std::uint64_t>(file.load_size),
               "-boot-load-size", what + " load size");
    }
    entry.sector = agreed(xorriso.sector, "xorriso", dumpet.sector, "dumpet", what + " load sector");
    entry.platform = xorriso.platform;
    agreed(entry.platform, "xorriso", file.platform, "the mastering options", what + " platform");
    return entry;
}

Expected expected_report(const Recipe& recipe, const Readers& r) {
    Expected e;
    e.add("tolvane 0.2 by tolvane-maintainers@example.org", "the tool's banner");
    e.add(kSeparator, "the report's layout");
    e.add("Primary volume", "the report's layout");
    EXPECT_NE(r.isoinfo.find("CD-ROM is in ISO 9660 format"), std::string::npos) << r.isoinfo;
    e.add("Standard Identifier:CD001", "ISO 9660, found by isoinfo");
    add_identifier(e, r, "System Identifier:", "System id: ", recipe.ids.system, 32);
    add_identifier(e, r, "Volume Identifier:", "Volume id: ", recipe.ids.volume, 32);
    add_identifier(e, r, "Volume Set Identifier:", "Volume set id: ", recipe.ids.volume_set, 128);
    add_identifier(e, r, "Publisher Identifier:", "Publisher id: ", recipe.ids.publisher, 128);
    add_identifier(e, r, "Data Preparer Identifier:", "Data preparer id: ", recipe.ids.preparer, 128);
    add_identifier(e, r, "Application Identifier:", "Application id: ", recipe.ids.application, 128);
    e.add("Logical Blocksize:" +
              need(value_after(r.isoinfo, "Logical block size is: "), "block size", r.isoinfo),
          "isoinfo -d");
    const std::uint64_t volume = number(need(value_after(r.isoinfo, "Volume size is: "), "volume size", r.isoinfo));
    e.add("Volume Size:" + std::to_string(volume) + " blocks. " +
              std::to_string(volume * kSector / 1048576) + "MB",
          "isoinfo -d");
    const std::uint64_t path_table = number(need(value_after(r.path_table, "Path table starts at block "),
                                                 "path table", r.path_table));
    e.add("path_table:$" + hex(path_table * kSector, 8) + " (" + std::to_string(path_table * kSector) + ")",
          "isoinfo -p");
    // The first line under "Directory listing of /" is the root's own entry,
    // its sector in brackets: "d---  ...  2048 Dec 11 2026 [     19 02]  . ".
    const std::string heading = "Directory listing of /\n";
    const std::size_t listing = r.listing.find(heading);
    const std::string root_line = listing == std::string::npos ? "" :
        r.listing.substr(listing + heading.size(),
                         r.listing.find('\n', listing + heading.size()) - listing - heading.size());
    EXPECT_NE(root_line.find("]  . "), std::string::npos) << "isoinfo -l:\n" << r.listing;
    const std::uint64_t root = number(root_line.substr(root_line.find('[') + 1));
    e.add("root_directory:$" + hex(root * kSector, 8) + " (" + std::to_string(root * kSector) + ")",
          "isoinfo -l");

    e.add(kSeparator, "the report's layout");
    e.add("boot-record-volume", "the report's layout");
    e.add("ISO9660_Identifier:CD001", "ISO 9660");
    if (recipe.boot.empty()) {
        // Nothing follows the primary volume descriptor but the set
        // terminator (dumpet names its type, 255): zero bytes where a boot
        // record has its system identifier and catalog pointer, so the
        // "catalog" is sector 0, which xorriso leaves zero without boot
        // options (it reports no system area): every catalog value is zero,
        // and the 64 zero bytes at sector 0 name sector 0 as their own.
        EXPECT_NE(r.dumpet_status, 0) << r.dumpet;
        EXPECT_NE(r.dumpet.find("BootRecordIndicator: 255"), std::string::npos) << r.dumpet;
        EXPECT_EQ(r.isoinfo.find("El Torito"), std::string::npos) << r.isoinfo;
        EXPECT_EQ(r.xorriso.find("System area options"), std::string::npos) << r.xorriso;
        const std::string zero = "the set terminator and the zero system area";
        e.add("Boot_System_identifier:" + std::string(23, '\0'), zero);
        e.add("first_sector_of_Boot_Catalog:" + sector_value(0), zero);
        e.add(kSeparator, "the report's layout");
        e.add("boot-catalog", "the report's layout");
        e.add("->Validation Entry [entry #0]", "the report's layout");
        e.add("platform_id:0", zero);
        e.add("manufacturer:" + std::string(17, '\0'), zero);
        e.add("->Initial/Default Entry", "the report's layout");
        add_entry(e, Entry{}, zero);
        e.add("boot_table.bi_pvd_lba:" + sector_value(0), zero);
        e.add("boot_table.bi_file_lba:" + sector_value(0), zero);
        e.add("boot_table.bi_length:0", zero);
        e.add("boot_table.bi_csum:$00000000", zero);
        return e;
    }

    EXPECT_EQ(r.dumpet_status, 0) << r.dumpet;
    const auto isoinfo = [&r](const std::string& key) {
        return need(value_after(r.isoinfo, key), "isoinfo -d: " + key, r.isoinfo);
    };
    const auto dumpet = [](const Block& block, const std::string& key) {
        return need(value_after(block.body, key), "dumpet: " + key, block.body);
    };
    e.add("Boot_System_identifier:EL TORITO SPECIFICATION", "El Torito, found by isoinfo");
    const std::uint64_t catalog = agreed(
        number(isoinfo("El Torito VD version 1 found, boot catalog is in sector ")), "isoinfo -d",
        number(need(value_after(r.xorriso, "El Torito catalog  : "), "catalog", r.xorriso)), "xorriso",
        "boot catalog sector");
    e.add("first_sector_of_Boot_Catalog:" + sector_value(catalog), "isoinfo -d and xorriso");

    std::vector<bool> tables;
    const std::vector<Entry> xorriso = xorriso_entries(r.xorriso, &tables);
    const std::vector<Block> blocks = dumpet_blocks(r.dumpet);
    const std::vector<const Block*> validation = blocks_titled(blocks, "Validation Entry:");
    const std::vector<const Block*> defaults = blocks_titled(blocks, "Boot Catalog Default Entry:");
    const std::vector<const Block*> headers = blocks_titled(blocks, "Section Header Entry:");
    const std::vector<const Block*> section_entries = blocks_titled(blocks, "Boot Catalog Section Entry:");
    EXPECT_EQ(xorriso.size(), recipe.boot.size()) << "boot images, xorriso:\n" << r.xorriso;
    if (xorriso.size() < recipe.boot.size() || validation.empty() || defaults.empty() ||
        (recipe.boot.size() > 1 && (headers.empty() || section_entries.empty()))) {
        ADD_FAILURE() << "the readers show too little of the catalog:\n" << r.xorriso << r.dumpet;
        return e;
    }
    // xorriso knows a boot information table by the primary volume sector
    // it names, which for a later session is not the sector xorriso loaded
    // the volume from: there the options alone say where tables are.
    for (std::size_t i = 0; recipe.session_start == 0 && i < recipe.boot.size(); ++i) {
        agreed(static_cast<bool>(tables[i]), "xorriso", recipe.boot[i].table, "-boot-info-table",
               "boot information table of image " + std::to_string(i + 1));
    }

    e.add(kSeparator, "the report's layout");
    e.add("boot-catalog", "the report's layout");
    e.add("->Validation Entry [entry #0]", "the report's layout");
    const unsigned platform = agreed(
        static_cast<unsigned>(number(dumpet(*validation[0], "PlatformId: "))), "dumpet",
        static_cast<unsigned>(number(isoinfo("Arch "))), "isoinfo -d", "validation entry platform");
    agreed(platform, "dumpet", recipe.boot[0].platform, "the mastering options", "validation entry platform");
    e.add("platform_id:" + std::to_string(platform), "dumpet and isoinfo -d");
    // The ID string as far as its first NUL byte; NUL bytes fill the field.
    const std::string id = agreed(
        quoted(dumpet(*validation[0], "ID: "), '"').substr(0, 17), "dumpet",
        quoted(isoinfo("ID "), '\'').substr(0, 17), "isoinfo -d", "validation entry ID string");
    if (!recipe.boot[0].eltorito_id.empty()) {
        agreed(id, "dumpet", recipe.boot[0].eltorito_id.substr(0, 17), "-eltorito-id", "validation ID string");
    }
    e.add("manufacturer:" + nul_padded(id, 17), "dumpet and isoinfo -d");

    e.add("->Initial/Default Entry", "the report's layout");
    const Entry initial = agreed_entry(xorriso[0], dumpet_entry(*defaults[0]), recipe.boot[0], "default entry");
    const std::string readers = "xorriso and dumpet";
    agreed(initial.indicator, readers, static_cast<unsigned>(number(isoinfo("Bootid "), 16)), "isoinfo -d",
           "default entry boot indicator");
    agreed(initial.media, readers, static_cast<unsigned>(number(isoinfo("Boot media "))), "isoinfo -d",
           "default entry media type");
    agreed(initial.count, readers, number(isoinfo("Nsect "), 16), "isoinfo -d", "default entry load size");
    const std::vector<std::string> bootoff = words(isoinfo("Bootoff "));  // hexadecimal, decimal
    agreed(initial.sector, readers, bootoff.size() == 2 ? number(bootoff[1]) : 0, "isoinfo -d",
           "default entry load sector");
    add_entry(e, initial, "xorriso, dumpet and isoinfo -d");
    if (recipe.boot[0].table) {
        add_table(e, recipe, recipe.boot[0], initial);
    }
    if (recipe.boot.size() == 1) {
        EXPECT_TRUE(headers.empty()) << r.dumpet;
        return e;
    }

    // The tools start a section at each change of platform or ID string;
    // the first section holds the entries up to the next change.
    std::size_t in_section = 1;
    while (1 + in_section < recipe.boot.size() &&
           recipe.boot[1 + in_section].platform == recipe.boot[1].platform &&
           recipe.boot[1 + in_section].eltorito_id == recipe.boot[1].eltorito_id) {
        ++in_section;
    }
    const bool last_section = 1 + in_section == recipe.boot.size();
    const Block& header = *headers[0];
    e.add("->Section Header Entry [entry #1]", "the report's layout");
    const unsigned indicator = agreed(
        static_cast<unsigned>(number(dumpet(header, "Header Indicator: "))), "dumpet",
        last_section ? 0x91u : 0x90u, "the mastering options (last section or not)", "section header indicator");
    e.add("header_indicator:$" + hex(indicator, 2), "dumpet and the mastering options");
    const unsigned section_platform = agreed(
        static_cast<unsigned>(number(dumpet(header, "PlatformId: "))), "dumpet",
        recipe.boot[1].platform, "the mastering options", "section platform");
    agreed(section_platform, "dumpet", xorriso[1].platform, "xorriso", "section platform");
    e.add("platform_id:$" + hex(section_platform, 2), "dumpet, xorriso and the mastering options");
    const std::uint64_t count = agreed(
        number(dumpet(header, "Section Entries: ")), "dumpet",
        static_cast<std::uint64_t>(in_section), "the mastering options", "section entries");
    e.add("Number_of_section_entries:$" + std::to_string(count), "dumpet and the mastering options");
    const std::string section_id = agreed(
        quoted(dumpet(header, "ID: "), '"').substr(0, 27), "dumpet",
        recipe.boot[1].eltorito_id.substr(0, 27), "-eltorito-id", "section ID string");
    e.add("id_string:" + nul_padded(section_id, 27), "dumpet and -eltorito-id");
    e.add("->Section Entry", "the report's layout");
    const Entry first = agreed_entry(xorriso[1], dumpet_entry(*section_entries[0]), recipe.boot[1],
                                     "first section entry");
    add_entry(e, first, readers);
    if (recipe.boot[1].table) {
        add_table(e, recipe, recipe.boot[1], first);
    }
    return e;
}

// Compares tolvane's report of `image` with the expected lines: line by
// line, naming where each expected value came from, then as whole bytes.
void expect_report(const std::string& image, const Expected& expected) {
    const CommandResult result = run_command({kTolvane, image});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    std::vector<std::string> got;
    std::size_t start = 0;
    for (std::size_t end; (end = result.out.find("\r\n", start)) != std::string::npos; start = end + 2) {
        got.push_back(result.out.substr(start, end - start));
    }
    EXPECT_EQ(result.out.substr(start), "") << "report ends without CR LF";
    const std::vector<ExpectedLine>& lines = expected.lines();
    EXPECT_EQ(got.size(), lines.size()) << "number of report lines";
    bool same_lines = got.size() == lines.size();
    std::string whole;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        whole += lines[i].text + "\r\n";
        const std::string tolvane_line = i < got.size() ? got[i] : "(none)";
        EXPECT_EQ(tolvane_line, lines[i].text)
            << "report line " << i + 1 << "; expected value from " << lines[i].source;
        same_lines = same_lines && tolvane_line == lines[i].text;
    }
    if (same_lines) {
        EXPECT_EQ(result.out, whole) << "whole report, line ends included";
    }
}

Recipe bootable_recipe() {
    Recipe recipe;
    recipe.ids = test_identifiers();
    recipe.boot = {bios_boot(true)};
    return recipe;
}

// genisoimage: an x86 section, then an EFI one, so that the first section
// header says more headers follow (0x90). genisoimage stores the publisher
// as the catalog's ID string.
Recipe genisoimage_recipe() {
    Recipe recipe = bootable_recipe();
    recipe.tool = "genisoimage";
    BootFile second = bios_boot(false);
    second.name = "boot/second.bin";
    second.load_size = -1;
    recipe.boot.push_back(second);
    recipe.boot.push_back(efi_boot("boot/efi.img", 65536));
    return recipe;
}


// A recipe and the image mastered from it.
struct Mastered {
    std::string name;
    Recipe recipe;
    std::string image;
};

// ---------------------------------------------------------------------------

class RealImages : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing;
        for (const Program& program : kPrograms) {
            if (find_program(program.name).empty()) {
                missing += std::string(" ") + program.name + " (Debian package " + program.package + ")";
            }
        }
        if (!missing.empty()) {
            if (std::getenv("CI") != nullptr) {
                FAIL() << "missing, and CI is set:" << missing;
            }
            GTEST_SKIP() << "missing:" << missing << "; tools/deps.sh test installs them";
        }
        std::string name = temp_dir() + "/tolvane-real-images-XXXXXX";
        ASSERT_NE(mkdtemp(&name[0]), nullptr);
        dir_ = name;
    }
    void TearDown() override {
        if (!dir_.empty()) {
            std::error_code ignored;
            fs::remove_all(dir_, ignored);
            EXPECT_FALSE(fs::exists(dir_)) << "left behind: " << dir_;
        }
    }

    // Writes the boot files into a fresh tree and masters it as `name`.
    std::string master(const Recipe& recipe, const std::string& name) {
        const std::string tree = dir_ + "/" + name + ".tree";
        fs::create_directories(tree + "/boot");
        std::ofstream(tree + "/README.TXT") << "tolvane real-image test\n";
        for (const BootFile& file : recipe.boot) {
            const std::string path = tree + "/" + file.name;
            if (file.fat) {
                // A FAT file system of `size` bytes standing in for an EFI
                // system partition: 512-byte sectors, one head, 16 per track.
                run_ok("mformat", {"-i", path, "-C", "-T", std::to_string(file.size / 512), "-h", "1",
                                   "-s", "16", "::"});
            } else {
                std::ofstream(path, std::ios::binary) << file.bytes;
                fs::resize_file(path, file.size);
            }
        }
        const std::string image = dir_ + "/" + name;
        std::vector<std::string> args;
        if (recipe.tool == "xorriso") {
            args = {"-as", "mkisofs"};
        }
        args.insert(args.end(), {"-o", image});
        const std::pair<const char*, const std::optional<std::string>*> ids[] = {
            {"-sysid", &recipe.ids.system},     {"-V", &recipe.ids.volume},
            {"-volset", &recipe.ids.volume_set}, {"-publisher", &recipe.ids.publisher},
            {"-p", &recipe.ids.preparer},       {"-A", &recipe.ids.application},
        };
        for (const auto& id : ids) {
            if (*id.second) {
                args.insert(args.end(), {id.first, **id.second});
            }
        }
        args.insert(args.end(), recipe.options.begin(), recipe.options.end());
        if (recipe.session_start != 0) {
            args.insert(args.end(), {"-C", "0," + std::to_string(recipe.session_start)});
        }
        for (std::size_t i = 0; i < recipe.boot.size(); ++i) {
            const BootFile& file = recipe.boot[i];
            if (i > 0) {
                args.push_back("-eltorito-alt-boot");
            }
            if (!file.eltorito_id.empty()) {
                args.insert(args.end(), {"-eltorito-id", file.eltorito_id});
            }
            args.insert(args.end(), {file.platform == 0xEF ? "-e" : "-b", file.name});
            if (i == 0) {
                args.insert(args.end(), {"-c", "boot/boot.cat"});
            }
            if (file.media == 0) {
                args.push_back("-no-emul-boot");
            }
            if (file.load_size >= 0) {
                args.insert(args.end(), {"-boot-load-size", std::to_string(file.load_size)});
            }
            if (file.table) {
                args.push_back("-boot-info-table");
            }
            args.insert(args.end(), file.after.begin(), file.after.end());
        }
        args.push_back(tree);
        run_ok(recipe.tool, args);
        return image;
    }

    void check(const Recipe& recipe, const std::string& image) {
        const Readers readers = read_with_others(image);
        expect_report(image, expected_report(recipe, readers));
    }

    // An image of over 4 GiB whose boot catalog and boot images lie above
    // the 4 GiB mark; `made` is the recipe it was mastered with.
    std::string master_above_4gib(Recipe* made) {
        constexpr std::uint32_t kStart = 2100000;  // 0x200B20; 4 GiB is sector 0x200000
        Recipe& recipe = *made;
        recipe = genisoimage_recipe();
        recipe.boot.erase(recipe.boot.begin() + 1);  // the boot image with a table and the EFI image
        recipe.session_start = kStart;
        const std::string session = master(recipe, "session.iso");
        const std::uint64_t session_size = fs::file_size(session);
        const std::string image = dir_ + "/big.iso";
        {
            std::ofstream create(image, std::ios::binary);
        }
        fs::resize_file(image, kStart * kSector + session_size);
        std::string bytes;
        {
            std::ifstream in(session, std::ios::binary);
            std::ostringstream all;
            all << in.rdbuf();
            bytes = all.str();
        }
        std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(static_cast<std::streamoff>(kStart * kSector));
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.seekp(0);
        out.write(bytes.data(), static_cast<std::streamsize>(32 * kSector));
        out.close();
        EXPECT_TRUE(out) << "writing " << image;
        fs::remove(session);

        struct stat written;
        EXPECT_EQ(stat(image.c_str(), &written), 0);
        EXPECT_GT(static_cast<std::uint64_t>(written.st_size), 4ull << 30);
        EXPECT_LT(static_cast<std::uint64_t>(written.st_blocks) * 512, 16ull << 20)
            << "the image should be sparse";
        return image;
    }

    // xorriso's isohybrid image: an MBR of our own boot code, xorriso's
    // partition table and signature, and a GPT naming the EFI image.
    Recipe hybrid_recipe() {
        std::ofstream(dir_ + "/mbr.bin", std::ios::binary) << boot_program("tolvane MBR", 512);
        Recipe recipe = bootable_recipe();
        recipe.options = {"-isohybrid-mbr", dir_ + "/mbr.bin"};
        BootFile efi = efi_boot("boot/efi.img", 65536);
        efi.after = {"-isohybrid-gpt-basdat"};
        recipe.boot.push_back(efi);
        return recipe;
    }

    // Every configuration of the suite but the image above 4 GiB, mastered:
    // no-emulation with a table, one and two EFI alternate entries, the
    // three floppy emulations, no table, no boot at all, isohybrid, and an
    // image made by genisoimage.
    std::vector<Mastered> master_every_image() {
        std::vector<Mastered> made;
        const auto add = [&](const std::string& name, const Recipe& recipe) {
            made.push_back(Mastered{name, recipe, master(recipe, name)});
        };
        add("plain.iso", bootable_recipe());
        for (int efi_entries = 1; efi_entries <= 2; ++efi_entries) {
            Recipe recipe = bootable_recipe();
            recipe.boot[0].eltorito_id = "TOLVANE REAL-IMAGE CATALOG";
            BootFile efi = efi_boot("boot/efi.img", 65536);
            efi.eltorito_id = "EFI SECTION: 28 BYTES STORED";
            recipe.boot.push_back(efi);
            if (efi_entries == 2) {
                BootFile second = efi_boot("boot/efi2.img", 131072);
                second.eltorito_id = efi.eltorito_id;
                recipe.boot.push_back(second);
            }
            add("efi" + std::to_string(efi_entries) + ".iso", recipe);
        }
        for (unsigned media = 1; media <= 3; ++media) {
            Recipe recipe;
            recipe.ids = test_identifiers();
            recipe.boot = {floppy_boot(media)};
            add("floppy" + std::to_string(media) + ".iso", recipe);
        }
        Recipe no_table = bootable_recipe();
        no_table.boot[0].table = false;
        no_table.boot[0].load_size = -1;
        add("no-table.iso", no_table);
        add("data.iso", Recipe{});
        add("hybrid.iso", hybrid_recipe());
        add("genisoimage.iso", genisoimage_recipe());
        return made;
    }

    std::string dir_;
};

}  // namespace
