// Hostile and broken inputs given to the command: paths that are not image
// files, images that end inside each structure, an image another process
// holds open for writing, and outputs that refuse the report. Each case
// checks the exit status, what standard error says, and that the image's
// bytes and modification time are as they were.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "expected_reports.hpp"
#include "image_builder.hpp"
#include "run_command.hpp"
#include "scratch_dir.hpp"

namespace {

const std::string kTool = TOLVANE_EXECUTABLE;

// Catalog at sector 20; the initial entry's boot image at sector 22 and the
// section entry's at sector 23, each with a boot information table.
ImageBuilder bootable_image() {
    ImageBuilder image(24 * kSector);
    put_primary_volume(image, VolumeFields{});
    put_boot_record(image, 20);
    const std::uint64_t catalog = 20 * kSector;
    image.put_u8(catalog, 1).put(catalog + 4, "HOSTILE TESTS");
    put_boot_entry(image, catalog + 32, 0x88, 0, 4, 22);
    image.put_u8(catalog + 64, 0x91).put_u8(catalog + 65, 0xEF).put_le16(catalog + 66, 1);
    image.put(catalog + 68, "SECTION");
    put_boot_entry(image, catalog + 96, 0x88, 0, 8, 23);
    put_boot_table(image, 22, 16, 22, 2048, "\x01\x02\x03\x04");
    put_boot_table(image, 23, 16, 23, 4096, "\x05\x06\x07\x08");
    return image;
}

// The report of bootable_image(), in the pieces that truncation changes.
const std::string kVolumeAndRecord =
    kBanner + kSeparator +
    fixture_volume_section() +
    kSeparator +
    boot_record_section("$00000014 (40960)") +
    kSeparator;
const std::string kValidationEntry =
    "boot-catalog\r\n"
    "->Validation Entry [entry #0]\r\n"
    "platform_id:0\r\n"
    "manufacturer:HOSTILE TESTS" + nuls(4) + "\r\n";
const std::string kInitialEntry =
    "->Initial/Default Entry\r\n"
    "boot_indicator:$88\r\n"
    "boot_media_type:0\r\n"
    "starting_sector:$00000016 (45056)\r\n"
    "virtual_sector_count:$0004 (2048)\r\n";
const std::string kInitialTable =
    "boot_table.bi_pvd_lba:$00000010 (32768)\r\n"
    "boot_table.bi_file_lba:$00000016 (45056)\r\n"
    "boot_table.bi_length:2048\r\n"
    "boot_table.bi_csum:$01020304\r\n";
const std::string kSection =
    "->Section Header Entry [entry #1]\r\n"
    "header_indicator:$91\r\n"
    "platform_id:$EF\r\n"
    "Number_of_section_entries:$1\r\n"
    "id_string:SECTION" + nuls(20) + "\r\n"
    "->Section Entry\r\n"
    "boot_indicator:$88\r\n"
    "boot_media_type:0\r\n"
    "starting_sector:$00000017 (47104)\r\n"
    "virtual_sector_count:$0008 (4096)\r\n";
const std::string kSectionTable =
    "boot_table.bi_pvd_lba:$00000010 (32768)\r\n"
    "boot_table.bi_file_lba:$00000017 (47104)\r\n"
    "boot_table.bi_length:4096\r\n"
    "boot_table.bi_csum:$05060708\r\n";
const std::string kWholeReport =
    kVolumeAndRecord + kValidationEntry + kInitialEntry + kInitialTable + kSection + kSectionTable;

// A catalog, or the initial entry's load sector, that reads as zero bytes
// leads to sector 0, which these images hold as zero bytes: a boot image
// whose zero table names sector 0 as its own.
const std::string kZeroTable =
    "boot_table.bi_pvd_lba:$00000000 (0)\r\n"
    "boot_table.bi_file_lba:$00000000 (0)\r\n"
    "boot_table.bi_length:0\r\n"
    "boot_table.bi_csum:$00000000\r\n";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "expected text lacks: " << from;
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string short_read(const std::string& path, const std::string& what) {
    return "tolvane: warning: " + path + ": " + what +
           " lie past the end of the image; read as zero bytes\n";
}

// The file at `path` has the bytes and modification time in `before`.
void expect_unchanged(const std::string& path, const FileState& before) {
    const FileState after = file_state(path, !before.bytes.empty());
    EXPECT_TRUE(after.exists) << path;
    EXPECT_TRUE(after.bytes == before.bytes) << path << ": the bytes changed";
    EXPECT_EQ(after.mtime_sec, before.mtime_sec) << path;
    EXPECT_EQ(after.mtime_nsec, before.mtime_nsec) << path;
}

// Writes the image with an old modification time; returns its state.
FileState prepared(const std::string& path) {
    EXPECT_TRUE(set_old_times(path)) << path;
    return file_state(path);
}

TEST(Hostile, PathsThatAreNotImageFilesAreRefusedByName) {
    ScratchDir dir;
    const std::string file = dir.write("file.iso", bootable_image());
    const std::string fifo = dir.path() + "/fifo.iso";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;     // named on the command line
        std::string reason;
        std::string watched;  // the file that must not change
    };
    const Case cases[] = {
        {file + "/x", "Not a directory", file},
        // Opening a FIFO must not wait for a writer: under `timeout` a hang
        // shows as status 124.
        {fifo, "Not a regular file or block device", fifo},
        {"/dev/null", "Not a regular file or block device", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        FileState before;
        if (!c.watched.empty()) {
            ASSERT_TRUE(set_old_times(c.watched));
            before = file_state(c.watched, c.watched != fifo);  // a FIFO is not read
        }
        const CommandResult result = run_command({"/usr/bin/timeout", "10", kTool, c.path});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, kBanner);
        EXPECT_EQ(result.err, "tolvane: " + c.path + ": " + c.reason + "\n");
        if (!c.watched.empty()) {
            expect_unchanged(c.watched, before);
        }
    }
}

TEST(Hostile, ImagesEndingInsideEachStructureAreReportedToTheEnd) {
    struct Case {
        const char* name;
        std::uint64_t size;
        std::string report;
        std::vector<std::string> short_reads;  // "N of the C bytes at byte position P"
    };
    const Case cases[] = {
        {"empty file", 0, kZeroReport,
         {"2048 of the 2048 bytes at byte position 32768",
          "512 of the 512 bytes at byte position 34816",
          "512 of the 512 bytes at byte position 0",
          "64 of the 64 bytes at byte position 0"}},
        {"primary volume descriptor, after the system identifier", 16 * kSector + 40,
         replaced(replaced(kZeroReport, "Standard Identifier:" + nuls(5), "Standard Identifier:CD001"),
                  "System Identifier:" + nuls(32), "System Identifier:" + pad("LINUX", 32)),
         {"2008 of the 2048 bytes at byte position 32768",
          "512 of the 512 bytes at byte position 34816"}},
        // The pointer's low bytes arrived: the catalog is still sector 20,
        // which lies past the end.
        {"boot record, inside the catalog pointer", 17 * kSector + 73,
         kVolumeAndRecord + kZeroReport.substr(kZeroReport.find("boot-catalog\r\n")),
         {"439 of the 512 bytes at byte position 34816",
          "512 of the 512 bytes at byte position 40960"}},
        {"catalog, inside the initial entry's load sector", 20 * kSector + 40,
         kVolumeAndRecord + kValidationEntry +
             replaced(kInitialEntry, "starting_sector:$00000016 (45056)", "starting_sector:$00000000 (0)") +
             kZeroTable,
         {"472 of the 512 bytes at byte position 40960"}},
        {"initial boot image, before its table's checksum", 22 * kSector + 20,
         kVolumeAndRecord + kValidationEntry + kInitialEntry +
             replaced(kInitialTable, "bi_csum:$01020304", "bi_csum:$00000000") + kSection,
         {"44 of the 64 bytes at byte position 45056",
          "64 of the 64 bytes at byte position 47104"}},
        // Half of the section image's sector number arrived, and it is the
        // half that matters: the table still names sector 23.
        {"section boot image, inside its table's sector", 23 * kSector + 14,
         kVolumeAndRecord + kValidationEntry + kInitialEntry + kInitialTable + kSection +
             replaced(replaced(kSectionTable, "bi_length:4096", "bi_length:0"),
                      "bi_csum:$05060708", "bi_csum:$00000000"),
         {"50 of the 64 bytes at byte position 47104"}},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImageBuilder image = bootable_image();
        image.resize(static_cast<std::size_t>(c.size));
        const std::string path = dir.write("short.iso", image);
        const FileState before = prepared(path);
        const CommandResult result = run_command({kTool, path});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, c.report);
        std::string warnings;
        for (const std::string& what : c.short_reads) {
            warnings += short_read(path, what);
        }
        EXPECT_EQ(result.err, warnings);
        expect_unchanged(path, before);
    }
}

TEST(Hostile, ImageHeldOpenForWritingByAnotherProcessIsReadWhole) {
    ScratchDir dir;
    const std::string path = dir.write("held.iso", bootable_image());
    const FileState before = prepared(path);

    // The other process opens the image for writing, takes exclusive
    // advisory locks on it, says so, and holds it until told to let go.
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        close(ready[0]);
        close(release[1]);
        const int fd = open(path.c_str(), O_WRONLY);
        struct flock whole{};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        const bool held = fd >= 0 && flock(fd, LOCK_EX) == 0 && fcntl(fd, F_SETLK, &whole) == 0;
        const char answer = held ? 'y' : 'n';
        if (write(ready[1], &answer, 1) != 1) {
            _exit(1);
        }
        char ignored;
        while (read(release[0], &ignored, 1) > 0) {
        }
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'y') << "the other process could not open and lock the image";

    const CommandResult result = run_command({kTool, path});

    close(release[1]);
    close(ready[0]);
    int holder_status = 0;
    waitpid(holder, &holder_status, 0);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, kWholeReport);
    expect_unchanged(path, before);
}

TEST(Hostile, ImageIsUntouchedWhateverBecomesOfTheOutput) {
    // What each refused output says is checked with the command's other
    // tests; here, that none of them writes to the image.
    ScratchDir dir;
    const std::string path = dir.write("boot.iso", bootable_image());
    const FileState before = prepared(path);
    struct Case { StdoutTo to; int status; };
    const Case cases[] = {
        {StdoutTo::file, 0},
        {StdoutTo::dev_full, 1},
        {StdoutTo::closed, 1},
        {StdoutTo::pipe_without_reader, 1},
    };
    for (const Case& c : cases) {
        const CommandResult result = run_command({kTool, path}, c.to);
        EXPECT_EQ(result.status, c.status) << static_cast<int>(c.to);
        expect_unchanged(path, before);
    }
}

}  // namespace
