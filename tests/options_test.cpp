// The command's options: --help, --version, "--", and what happens to
// anything else that begins with a dash. Options count only as the first
// argument; everything after the image is ignored.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "expected_reports.hpp"
#include "image_builder.hpp"
#include "run_command.hpp"
#include "scratch_dir.hpp"

namespace {

const std::string kTool = TOLVANE_EXECUTABLE;
// An image of 18 sectors with only a primary volume descriptor: the boot
// record reads as zero bytes, so the catalog and boot table are read from
// sector 0, which is zero bytes too. The volume identifier tells the images
// of a test apart.
ImageBuilder volume_only_image(const std::string& volume) {
    ImageBuilder image(18 * kSector);
    VolumeFields fields;
    fields.volume = volume;
    put_primary_volume(image, fields);
    return image;
}

std::string volume_only_report(const std::string& volume) {
    return kBanner + kSeparator + fixture_volume_section(volume) + kZeroBootSections;
}

// Runs each test in a directory of its own, holding images whose names look
// like options, so that they can be named relative to it.
class Options : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        previous_dir_ = cwd;
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
        for (const char* name : {"-dash.iso", "--help", "-", "-x", "plain.iso"}) {
            dir_.write(name, volume_only_image(volume_of(name)));
        }
    }
    void TearDown() override {
        ASSERT_EQ(chdir(previous_dir_.c_str()), 0);
    }
    // Each image's volume identifier: its name in capitals, dashes and dots
    // as underscores (d-characters, as a mastering tool would write it).
    static std::string volume_of(const std::string& name) {
        std::string volume = "V";
        for (char c : name) {
            volume += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : '_';
        }
        return volume;
    }
    static CommandResult run(std::vector<std::string> args,
                             StdoutTo stdout_to = StdoutTo::file) {
        args.insert(args.begin(), kTool);
        return run_command(args, stdout_to);
    }
    ScratchDir dir_;
    std::string previous_dir_;
};

TEST_F(Options, VersionPrintsTheReportsBannerLineAlone) {
    const std::vector<std::vector<std::string>> cases = {
        {"--version"}, {"-V"}, {"-V", "plain.iso"}, {"--version", "--help"},
    };
    for (const auto& args : cases) {
        const CommandResult result = run(args);
        EXPECT_EQ(result.status, 0) << args[0];
        EXPECT_EQ(result.out, kBanner) << args[0];
        EXPECT_EQ(result.err, "") << args[0];
    }
}

// The whole help text: usage, the report's sections, the modes, the options
// and the exit statuses.
const std::string kHelpText =
    "usage: tolvane [--] IMAGE\n"
    "       tolvane --json [--] IMAGE...\n"
    "       tolvane --check [--] IMAGE...\n"
    "       tolvane --boot-image N [--] IMAGE > FILE\n"
    "       tolvane --help | -h\n"
    "       tolvane --version | -V\n"
    "\n"
    "Reads an ISO 9660 disc image (a file or a block device) without writing\n"
    "to it, and prints a fixed, line-oriented report to standard output, each\n"
    "line ending with CR LF. After the banner line come three sections, each\n"
    "after a line of asterisks:\n"
    "\n"
    "  Primary volume      sector 16: the identifiers as stored, the logical\n"
    "                      block size, the volume size, and the positions of\n"
    "                      the path table and the root directory\n"
    "  boot-record-volume  sector 17: the El Torito boot record and the sector\n"
    "                      of its boot catalog\n"
    "  boot-catalog        the validation entry, the initial/default entry and,\n"
    "                      when there is one, the first section header and its\n"
    "                      first section entry; a boot entry whose boot image\n"
    "                      holds a boot information table is followed by its\n"
    "                      boot_table lines\n"
    "\n"
    "Bytes the image lacks are read as zero bytes, with a warning on standard\n"
    "error, and the report runs to its end.\n"
    "\n"
    "With --json, each IMAGE is read whole (every volume descriptor, every\n"
    "section and boot entry of the boot catalog, boot information tables and\n"
    "their checksums, the MBR and GPT of the system area) and written as one\n"
    "JSON object per line, in argument order, with LF line ends; every byte\n"
    "outside printable ASCII is escaped. An image that cannot be opened or read\n"
    "gets one line on standard error and the run goes on; the status is then 1.\n"
    "For example: tolvane --json image.iso | jq '.boot_catalog.entries[]'\n"
    "\n"
    "With --check, each image named is judged instead of reported: one line\n"
    "per finding on standard output, 'IMAGE: error: WHERE: WHAT' or\n"
    "'IMAGE: warning: WHERE: WHAT', LF line ends, in the order of the image;\n"
    "an image with no finding prints nothing. An error is what firmware or a\n"
    "careful reader would reject, or data the image lacks (a volume longer\n"
    "than the image, a bad validation entry, a load or boot information table\n"
    "past the end, a wrong checksum); a warning is an odd value that some\n"
    "firmware may take badly. Image bytes quoted in a line show everything\n"
    "outside 0x20 to 0x7E as '?'.\n"
    "\n"
    "--boot-image N writes the bytes of the image's N-th boot entry (1-based,\n"
    "in catalog order) to standard output, which must not be a terminal, and\n"
    "says on standard error how many bytes it wrote and where that size came\n"
    "from, in this order of trust: the file of the ISO 9660 tree that starts\n"
    "at the entry's load sector, its boot information table, the floppy it\n"
    "emulates or the disk its MBR describes, the FAT file system it holds,\n"
    "and last the entry's sector count. Bytes past the end of the image are\n"
    "never made up. Exit status 0 when the whole boot image was written; 1\n"
    "when there is no such entry, the image ends inside the boot image (what\n"
    "exists is written, and the missing count said), a read failed or\n"
    "standard output refused it; 2 when N is not a number or standard output\n"
    "is a terminal.\n"
    "\n"
    "Options are recognised in the first argument only (after --json, --check\n"
    "and --boot-image N, also before the first image); arguments after the\n"
    "image of a report are ignored.\n"
    "  -h, --help     print this help and exit\n"
    "  -V, --version  print the banner line, the report's first line, and exit\n"
    "  --             end of options: the next argument is the image, even\n"
    "                 when its name begins with '-'\n"
    "\n"
    "Exit status:\n"
    "  0  the report was written to its end\n"
    "  1  the image could not be opened, a read failed with an I/O error,\n"
    "     or standard output refused the report\n"
    "  2  no image was named, or the first argument is an unknown option\n"
    "  3  --check: an image has an error finding (an image that could not be\n"
    "     opened or read, or refused output, gives 1 instead)\n"
    "\n"
    "The manual page tolvane(1) describes the report line by line, and the\n"
    "keys of --json and the findings of --check.\n";

TEST_F(Options, HelpShowsUsageSectionsAndExitStatuses) {
    const CommandResult help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out, kHelpText);
    // Text for people, with Unix line ends, not a report.
    EXPECT_EQ(help.out.find('\r'), std::string::npos);
    EXPECT_EQ(help.out.back(), '\n');
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"-h"}, {"--help", "plain.iso"}, {"-h", "-V"}}) {
        const CommandResult same = run(args);
        EXPECT_EQ(same.status, 0) << args[0];
        EXPECT_EQ(same.out, help.out) << args[0];
        EXPECT_EQ(same.err, "") << args[0];
    }
}

TEST_F(Options, OnlyTheFirstArgumentIsAnOptionAndDoubleDashEndsOptions) {
    struct Case { std::vector<std::string> args; std::string image; };
    const Case cases[] = {
        {{"--", "-dash.iso"}, "-dash.iso"},
        {{"--", "--help"}, "--help"},
        {{"--", "-x", "--version"}, "-x"},
        {{"-"}, "-"},  // a lone dash names an image
        {{"plain.iso", "--help"}, "plain.iso"},
        {{"plain.iso", "-V"}, "plain.iso"},
        {{"plain.iso", "--", "-dash.iso"}, "plain.iso"},
    };
    for (const Case& c : cases) {
        const CommandResult result = run(c.args);
        EXPECT_EQ(result.status, 0) << c.args[0] << " " << c.args[1 % c.args.size()];
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, volume_only_report(volume_of(c.image))) << c.image;
    }
}

TEST_F(Options, UnknownOptionIsAUsageErrorEvenWhenAFileHasItsName) {
    // "-x" and "-dash.iso" exist here, yet as a first argument they are options.
    for (const char* option : {"-x", "-dash.iso", "--verbose", "-hV", "--help=all", "---", "--Help"}) {
        const CommandResult result = run({option, "plain.iso"});
        EXPECT_EQ(result.status, 2) << option;
        EXPECT_EQ(result.out, kBanner) << option;
        EXPECT_EQ(result.err, std::string("tolvane: unknown option '") + option +
                                  "'\nTry 'tolvane --help' for more information.\n");
    }
}

TEST_F(Options, DoubleDashWithoutAnImageIsAUsageErrorAndAMissingImageIsNamed) {
    const CommandResult alone = run({"--"});
    EXPECT_EQ(alone.status, 2);
    EXPECT_EQ(alone.out, kBanner);
    EXPECT_EQ(alone.err, "usage: tolvane IMAGE\n");

    const CommandResult missing = run({"--", "-missing.iso"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, kBanner);
    EXPECT_EQ(missing.err, "tolvane: -missing.iso: No such file or directory\n");
}

TEST_F(Options, RefusedOutputOfHelpOrVersionIsAnErrorWithStatusOne) {
    struct Case { StdoutTo to; const char* reason; };
    const Case outputs[] = {
        {StdoutTo::dev_full, "No space left on device"},
        {StdoutTo::pipe_without_reader, "Broken pipe"},
        {StdoutTo::closed, "Bad file descriptor"},
    };
    for (const char* option : {"--help", "--version"}) {
        for (const Case& c : outputs) {
            const CommandResult result = run({option}, c.to);
            EXPECT_EQ(result.status, 1) << option << ": " << c.reason;
            EXPECT_EQ(result.err,
                      std::string("tolvane: error writing standard output: ") + c.reason + "\n")
                << option;
        }
    }
}

}  // namespace
