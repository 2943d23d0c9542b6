// The command as a user runs it: arguments, files that cannot be read,
// images that end early, and outputs that refuse the report.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

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

#if defined(__linux__)
TEST_F(Cli, ReadErrorIsReportedWithStatusOneAndNeverSpins) {
    // /proc/self/mem is a regular file of size 0 whose reads at addresses
    // the process has not mapped fail with EIO: every read of the report
    // fails, at once, and the run must end (the alarm stops a spinning one).
    const CommandResult result = run_command({kTool, "/proc/self/mem"}, StdoutTo::file, 10);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, kZeroReport);
    const std::string line = "tolvane: /proc/self/mem: read error at byte position ";
    EXPECT_EQ(result.err,
              line + "32768: Input/output error; 2048 of 2048 bytes read as zero bytes\n" +
              line + "34816: Input/output error; 512 of 512 bytes read as zero bytes\n" +
              line + "0: Input/output error; 512 of 512 bytes read as zero bytes\n" +
              line + "0: Input/output error; 64 of 64 bytes read as zero bytes\n");
}
#endif

TEST_F(Cli, DiagnosticsLongerThanAnyBufferAreWrittenWhole) {
    // Far beyond 8 KiB, and beyond the longest path the system opens.
    const std::string option = "--" + std::string(9000, 'o');
    std::string path = dir_.path();
    while (path.size() <= 9000) {
        path += "/missing-directory";
    }
    path += "/image.iso";
    const std::string unknown = "tolvane: unknown option '" + option +
                                "'\nTry 'tolvane --help' for more information.\n";
    const std::string too_long = "tolvane: " + path + ": File name too long\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {{kTool, option}, 2, kBanner, unknown},
        {{kTool, "--json", option}, 2, "", unknown},
        {{kTool, path}, 1, kBanner, too_long},
        {{kTool, "--json", path}, 1, "", too_long},
        {{kTool, "--check", path}, 1, "", too_long},
    };
    for (const Case& c : cases) {
        const CommandResult result = run_command(c.args);
        EXPECT_EQ(result.status, c.status) << c.args[1].substr(0, 20);
        EXPECT_EQ(result.out, c.out) << c.args[1].substr(0, 20);
        EXPECT_EQ(result.err, c.err) << c.args[1].substr(0, 20);
    }
}

}  // namespace
