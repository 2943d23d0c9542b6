// Taking boot images out of images made by real mastering tools
// (tolvane --boot-image N IMAGE): every boot image must come out exactly as
// the file it was made from (with the boot information table the mastering
// tool wrote into it), at the offset and with the bytes xorriso's own
// extraction (-extract_boot_images) finds there, and the line on standard
// error must name where its size came from; --json must name the files.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>

#include "real_images.hpp"

namespace {

using Json = nlohmann::json;

// What one entry must give: its bytes and the end of the size line.
struct Wanted {
    std::string bytes;
    std::string source;           // "size from the file /boot/boot.bin", ...
    std::optional<std::string> file;  // --json's entries[].file
};

void put_le32(std::string& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

// The boot file as xorriso writes it into the image with -boot-info-table:
// the table (PVD sector 16, its own sector, its length, its checksum) at
// byte 8, zero bytes up to byte 64.
std::string with_table(std::string bytes, const BootFile& file, std::uint64_t load_sector) {
    put_le32(bytes, 8, 16);
    put_le32(bytes, 12, static_cast<std::uint32_t>(load_sector));
    put_le32(bytes, 16, static_cast<std::uint32_t>(file.size));
    put_le32(bytes, 20, boot_table_checksum(file));
    std::fill(bytes.begin() + 24, bytes.begin() + 64, '\0');
    return bytes;
}

// The path people see: xorriso writes Rock Ridge names, genisoimage (given
// no -R) ISO 9660 names, in capitals.
std::string shown_name(const Recipe& recipe, const std::string& name) {
    std::string path = "/" + name;
    if (recipe.tool == "genisoimage") {
        std::transform(path.begin(), path.end(), path.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    }
    return path;
}

// A hard-disk image: an MBR of our own boot code whose one partition ends
// at the image's end (1 MiB), as -hard-disk-boot wants it.
BootFile hard_disk_boot() {
    BootFile file;
    file.name = "boot/disk.img";
    file.size = 1 << 20;
    file.bytes = boot_program("tolvane hard disk", 446);
    std::string partition(16, '\0');
    partition[0] = '\x80';
    partition[4] = '\x06';
    put_le32(partition, 8, 63);
    put_le32(partition, 12, static_cast<std::uint32_t>(file.size / 512 - 63));
    file.bytes += partition + std::string(48, '\0') + "\x55\xAA";
    file.media = 4;  // neither -no-emul-boot nor a floppy's size
    file.after = {"-hard-disk-boot"};
    return file;
}

class BootImageExtraction : public RealImages {
protected:
    std::string tree_file(const std::string& image_name, const BootFile& file) {
        return read_whole_file(dir_ + "/" + image_name + ".tree/" + file.name);
    }

    // The load sectors, as xorriso reports them.
    std::vector<std::uint64_t> load_sectors(const std::string& image) {
        std::vector<bool> tables;
        const std::vector<Entry> entries = xorriso_entries(
            run_ok("xorriso", {"-indev", image, "-report_el_torito", "plain"}), &tables);
        std::vector<std::uint64_t> sectors;
        for (const Entry& entry : entries) {
            sectors.push_back(entry.sector);
        }
        return sectors;
    }

    // Every entry of an image whose boot files all have directory records:
    // the whole file, its size from the file.
    std::vector<Wanted> from_files(const Mastered& m, const std::vector<std::uint64_t>& sectors) {
        std::vector<Wanted> wanted;
        for (std::size_t i = 0; i < m.recipe.boot.size(); ++i) {
            const BootFile& file = m.recipe.boot[i];
            std::string bytes = tree_file(m.name, file);
            // genisoimage writes the table into the tree's file itself.
            if (file.table && m.recipe.tool == "xorriso" && i < sectors.size()) {
                bytes = with_table(bytes, file, sectors[i]);
            }
            const std::string path = shown_name(m.recipe, file.name);
            wanted.push_back(Wanted{bytes, "size from the file " + path, path});
        }
        return wanted;
    }

    // Runs tolvane --boot-image on every entry of the image and compares
    // the bytes, the size line and what xorriso extracted.
    void expect_boot_images(const std::string& image, const std::vector<Wanted>& wanted) {
        const std::vector<std::uint64_t> sectors = load_sectors(image);
        ASSERT_EQ(sectors.size(), wanted.size()) << "boot entries xorriso reports";
        const std::string extracted = image + ".xorriso";
        run_ok("xorriso", {"-osirrox", "on", "-indev", image, "-extract_boot_images", extracted});
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            const std::string n = std::to_string(i + 1);
            SCOPED_TRACE("boot image " + n);
            const CommandResult result = run_command({kTolvane, "--boot-image", n, image});
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.err, "tolvane: boot image " + n + ": " +
                                      std::to_string(wanted[i].bytes.size()) + " bytes at sector " +
                                      std::to_string(sectors[i]) + ", " + wanted[i].source + "\n");
            EXPECT_TRUE(result.out == wanted[i].bytes)
                << result.out.size() << " bytes written; the file has " << wanted[i].bytes.size();
            expect_agrees_with_xorriso(extracted, i + 1, result.out);
        }
    }

    // xorriso's extraction of the same entry starts at the same byte; its
    // size is its own guess (a no-emulation image rounded to whole sectors,
    // or its sector count), so the shorter of the two is the other's start.
    void expect_agrees_with_xorriso(const std::string& dir, std::size_t number,
                                    const std::string& ours) {
        const std::string prefix = "eltorito_img" + std::to_string(number) + "_";
        std::string theirs;
        bool found = false;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
            if (entry.path().filename().string().compare(0, prefix.size(), prefix) == 0) {
                theirs = read_whole_file(entry.path().string());
                found = true;
            }
        }
        ASSERT_TRUE(found) << "xorriso extracted no " << prefix << "*";
        const std::size_t common = std::min(theirs.size(), ours.size());
        EXPECT_TRUE(ours.compare(0, common, theirs, 0, common) == 0)
            << "tolvane's " << ours.size() << " bytes and xorriso's " << theirs.size()
            << " differ in their first " << common;
    }

    // --json's file names: the catalog's and each entry's.
    void expect_json_files(const std::string& image, const std::optional<std::string>& catalog,
                           const std::vector<Wanted>& wanted) {
        const CommandResult result = run_command({kTolvane, "--json", image});
        ASSERT_EQ(result.status, 0) << result.err;
        const Json doc = Json::parse(result.out);
        const Json& files = doc["boot_catalog"]["entries"];
        EXPECT_EQ(doc["boot_catalog"]["file"], catalog ? Json(*catalog) : Json(nullptr));
        ASSERT_EQ(files.size(), wanted.size());
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            EXPECT_EQ(files[i]["file"], wanted[i].file ? Json(*wanted[i].file) : Json(nullptr))
                << "entry " << i + 1;
        }
    }
};

TEST_F(BootImageExtraction, EveryBootImageOfTheSuiteComesOutAsItsFile) {
    std::vector<Mastered> images = master_every_image();
    Recipe hard_disk;
    hard_disk.boot = {hard_disk_boot()};
    images.push_back(Mastered{"hard-disk.iso", hard_disk, master(hard_disk, "hard-disk.iso")});
    for (const Mastered& m : images) {
        SCOPED_TRACE(m.name);
        const std::vector<Wanted> wanted = from_files(m, load_sectors(m.image));
        if (wanted.empty()) {
            continue;  // the image without boot entries: see NoSuchEntry
        }
        expect_boot_images(m.image, wanted);
        expect_json_files(m.image, shown_name(m.recipe, "boot/boot.cat"), wanted);
    }
}

TEST_F(BootImageExtraction, ImagesWithoutDirectoryRecordsTakeTheirSizeFromWhatTheyHold) {
    // Every boot file and the catalog hidden from the tree (as on install
    // discs whose boot images are no files): each size comes from the next
    // source in the order of trust.
    Recipe recipe;
    BootFile table = bios_boot(true);
    BootFile efi = efi_boot("boot/efi.img", 65536);
    BootFile floppy = floppy_boot(2);
    BootFile disk = hard_disk_boot();
    BootFile counted = bios_boot(false);  // 3000 bytes, 4 sectors loaded
    counted.name = "boot/counted.bin";
    recipe.boot = {table, efi, floppy, disk, counted};
    recipe.options = {"-hide", "boot.cat"};
    for (const BootFile& file : recipe.boot) {
        recipe.options.insert(recipe.options.end(), {"-hide", fs::path(file.name).filename().string()});
    }
    const std::string image = master(recipe, "hidden.iso");
    const std::vector<std::uint64_t> sectors = load_sectors(image);
    ASSERT_EQ(sectors.size(), 5u);
    const std::vector<Wanted> wanted = {
        {with_table(tree_file("hidden.iso", table), table, sectors[0]),
         "size from its boot information table", std::nullopt},
        {tree_file("hidden.iso", efi), "size of the FAT file system it holds", std::nullopt},
        {tree_file("hidden.iso", floppy), "size of the 1.44 MB floppy it emulates", std::nullopt},
        {tree_file("hidden.iso", disk), "size of the disk its MBR describes", std::nullopt},
        {tree_file("hidden.iso", counted).substr(0, 4 * 512), "size from its sector count",
         std::nullopt},
    };
    expect_boot_images(image, wanted);
    expect_json_files(image, std::nullopt, wanted);
}

TEST_F(BootImageExtraction, NoSuchEntry) {
    const Recipe plain = bootable_recipe();
    const std::string bootable = master(plain, "plain.iso");
    const std::string data = master(Recipe{}, "data.iso");
    const struct {
        std::string image, number, err;
    } cases[] = {
        {bootable, "2", "tolvane: " + bootable + ": no boot entry 2: the boot catalog holds 1\n"},
        {bootable, "0", "tolvane: " + bootable + ": no boot entry 0: the boot catalog holds 1\n"},
        {data, "1", "tolvane: " + data + ": no boot entry 1: the image has no El Torito boot catalog\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image + " entry " + c.number);
        const CommandResult result = run_command({kTolvane, "--boot-image", c.number, c.image});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);
    }
}

}  // namespace
