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

TEST_F(Options, HelpShowsUsageSectionsAndExitStatuses) {
    const CommandResult help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("usage: tolvane [--] IMAGE\n", 0), 0u);
    for (const char* wanted :
         {"--help", "-h,", "--version", "-V,", "\n  --  ",
          "\n  Primary volume  ", "\n  boot-record-volume  ", "\n  boot-catalog  ", "boot_table",
          "\n  0  the report was written to its end\n", "\n  1  the image could not be opened",
          "\n  2  no image was named"}) {
        EXPECT_NE(help.out.find(wanted), std::string::npos) << wanted;
    }
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
