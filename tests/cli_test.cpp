// The command as a user runs it: arguments, files that cannot be read,
// images that end early, and outputs that refuse the report.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <string>

#include "expected_reports.hpp"
#include "image_builder.hpp"
#include "run_command.hpp"
#include "scratch_dir.hpp"

namespace {

const std::string kTool = TOLVANE_EXECUTABLE;

class Cli : public ::testing::Test {
protected:
    std::string write_image(const std::string& name, const ImageBuilder& image) {
        return dir_.write(name, image);
    }
    ScratchDir dir_;
};

ImageBuilder small_image() {
    ImageBuilder image(24 * kSector);
    put_primary_volume(image, VolumeFields{});
    put_boot_record(image, 20);
    put_boot_entry(image, 20 * kSector + 32, 0x88, 0, 4, 22);
    put_boot_table(image, 22, 16, 22, 2048, "\x01\x02\x03\x04");
    return image;
}

TEST_F(Cli, NoArgumentGivesUsageAndStatusTwo) {
    const CommandResult result = run_command({kTool});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, kBanner);
    EXPECT_EQ(result.err, "usage: tolvane IMAGE\n");
}

TEST_F(Cli, UnopenableImagesAreNamedWithTheReason) {
    struct Case { std::string path; std::string reason; };
    const std::string missing = dir_.path() + "/missing.iso";
    const Case cases[] = {
        {missing, "No such file or directory"},
        {dir_.path(), "Is a directory"},
        {"", "No such file or directory"},
    };
    for (const Case& c : cases) {
        const CommandResult result = run_command({kTool, c.path});
        EXPECT_EQ(result.status, 1) << c.path;
        EXPECT_EQ(result.out, kBanner);
        EXPECT_EQ(result.err, "tolvane: " + c.path + ": " + c.reason + "\n");
    }
}

TEST_F(Cli, ReportOfAFileMatchesTheInMemoryFixtureAndLeavesItUntouched) {
    const std::string path = write_image("boot.iso", small_image());
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    const CommandResult result = run_command({kTool, path, "extra", "--arguments"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    const std::string table =
        "boot_table.bi_pvd_lba:$00000010 (32768)\r\n"
        "boot_table.bi_file_lba:$00000016 (45056)\r\n"
        "boot_table.bi_length:2048\r\n"
        "boot_table.bi_csum:$01020304\r\n";
    EXPECT_EQ(result.out.substr(0, kBanner.size()), kBanner);
    ASSERT_GE(result.out.size(), table.size());
    EXPECT_EQ(result.out.substr(result.out.size() - table.size()), table);
    EXPECT_EQ(result.out, run_command({kTool, path}).out);
    struct stat after;
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST_F(Cli, TruncatedImageWarnsAndStillReportsToTheEnd) {
    // The image ends inside the boot record, before its catalog pointer: the
    // pointer reads as 0, and sector 0 (zero bytes here) is read as catalog.
    ImageBuilder image = small_image();
    image.resize(17 * kSector + 60);
    const std::string path = write_image("short.iso", image);
    const CommandResult result = run_command({kTool, path});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err,
              "tolvane: warning: " + path + ": 452 of the 512 bytes at byte position 34816 "
              "lie past the end of the image; read as zero bytes\n");
    const std::string tail =
        boot_record_section("$00000000 (0)") +
        kZeroReport.substr(kZeroReport.rfind(kSeparator));
    ASSERT_GE(result.out.size(), tail.size());
    EXPECT_EQ(result.out.substr(result.out.size() - tail.size()), tail);
}

TEST_F(Cli, RefusedOutputIsAnErrorWithStatusOne) {
    const std::string path = write_image("boot.iso", small_image());
    struct Case { StdoutTo to; const char* reason; };
    const Case cases[] = {
        {StdoutTo::dev_full, "No space left on device"},
        {StdoutTo::pipe_without_reader, "Broken pipe"},
        {StdoutTo::closed, "Bad file descriptor"},
    };
    for (const Case& c : cases) {
        const CommandResult result = run_command({kTool, path}, c.to);
        EXPECT_EQ(result.status, 1) << c.reason;
        EXPECT_EQ(result.err, std::string("tolvane: error writing standard output: ") + c.reason + "\n");
    }
}

}  // namespace
