#include "tolvane.hpp"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "eltorito.hpp"
#include "extract.hpp"
#include "modes.hpp"
#include "read.hpp"
#include "report.hpp"
#include "volume.hpp"

#ifndef TOLVANE_VERSION
#define TOLVANE_VERSION "0.0"
#endif

namespace {

constexpr const char* kBanner = "tolvane " TOLVANE_VERSION " by tolvane-maintainers@example.org";
constexpr const char* kSeparator = "*****************************************";

// What `tolvane --help` prints. Unlike the report, whose lines end with
// CR LF everywhere, this is text for people: plain LF line ends, the same
// bytes on every platform.
constexpr const char kHelp[] =
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

// What the first argument asks for. Options are recognised there only, and
// spelled out whole; "-" alone is an image name, as with most Unix tools.
enum class FirstArgument { image, help, version, end_of_options, json, check, boot_image,
                           unknown_option };

FirstArgument first_argument(const char* argument) {
    if (argument[0] != '-' || argument[1] == '\0') {
        return FirstArgument::image;
    }
    if (std::strcmp(argument, "--") == 0) {
        return FirstArgument::end_of_options;
    }
    if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
        return FirstArgument::help;
    }
    if (std::strcmp(argument, "--version") == 0 || std::strcmp(argument, "-V") == 0) {
        return FirstArgument::version;
    }
    if (std::strcmp(argument, "--json") == 0) {
        return FirstArgument::json;
    }
    if (std::strcmp(argument, "--check") == 0) {
        return FirstArgument::check;
    }
    if (std::strcmp(argument, "--boot-image") == 0) {
        return FirstArgument::boot_image;
    }
    return FirstArgument::unknown_option;
}

// Passes on the last lines of the report and returns the run's exit status:
// `status` unless the output refused the report or a read failed.
int finish(Run& run, int status) {
    if (!flush_output(run.out)) {
        return refused_output(run.out, run.diag);
    }
    return run.read_failed ? kFailure : status;
}

}  // namespace

void banner_line(Output& out) { heading_line(out, kBanner); }

void report_sections(Run& run) {
    heading_line(run.out, kSeparator);
    primary_volume_section(run);
    heading_line(run.out, kSeparator);
    const Sector catalog = boot_record_section(run);
    heading_line(run.out, kSeparator);
    boot_catalog_section(run, catalog);
}

int report_image_source(ImageSource& source, bool as_on_terminal, std::string* report,
                        std::string* diagnostics) {
    Run run{};
    run.image = &source;
    run.out.capture = report;
    run.out.line_by_line = as_on_terminal;
    run.out.terminal_safe = as_on_terminal;
    run.diag.capture = diagnostics;
    banner_line(run.out);
    report_sections(run);
    return finish(run, kSuccess);
}

int report_memory_image(const unsigned char* bytes, std::uint64_t size, bool as_on_terminal,
                        std::string* report, std::string* diagnostics) {
    const std::unique_ptr<ImageSource> source(new ImageSource);
    memory_image_source(*source, "(memory)", bytes, size);
    return report_image_source(*source, as_on_terminal, report, diagnostics);
}

namespace {

void unknown_option(Diagnostics& diag, const char* option) {
    diagnostic(diag, std::string("tolvane: unknown option '") + option + "'");
    diagnostic(diag, "Try 'tolvane --help' for more information.");
}

// The report of one image: tolvane [--] IMAGE.
int report_mode(Run& run, int argc, char** argv, FirstArgument first) {
    // Every run starts with the banner, the report's own first line.
    banner_line(run.out);
    if (first == FirstArgument::version) {
        return finish(run, kSuccess);
    }
    if (first == FirstArgument::unknown_option) {
        const int status = finish(run, kUsage);
        unknown_option(run.diag, argv[1]);
        return status;
    }
    const int image = first == FirstArgument::end_of_options ? 2 : 1;
    if (argc <= image) {
        const int status = finish(run, kUsage);
        diagnostic(run.diag, "usage: tolvane IMAGE");
        return status;
    }
    if (!open_image(run, argv[image])) {
        return finish(run, kFailure);
    }
    report_sections(run);
    close_image(run);
    return finish(run, kSuccess);
}

// The images named after a mode's option (and its value): an optional "--",
// then the names. Before "--", a name that begins with '-' is an unknown
// option. False, with the message written, on a usage error.
bool image_arguments(int argc, char** argv, int first, std::vector<std::string>* images,
                     Diagnostics& diag) {
    bool options_ended = false;
    for (int i = first; i < argc; ++i) {
        if (!options_ended && std::strcmp(argv[i], "--") == 0) {
            options_ended = true;
            continue;
        }
        if (!options_ended && argv[i][0] == '-' && argv[i][1] != '\0') {
            unknown_option(diag, argv[i]);
            return false;
        }
        options_ended = true;  // options stand before the first image only
        images->push_back(argv[i]);
    }
    return true;
}

}  // namespace

int tolvane_main(int argc, char** argv) {
    platform::prepare_standard_streams();
    ImageSource source;  // the report's image, with its read cache
    Run run{};  // zero bytes throughout: empty buffers, nothing written yet
    run.image = &source;
    const bool terminal = platform::is_terminal(platform::Stream::standard_output);
    run.out.line_by_line = terminal;
    run.out.terminal_safe = terminal;
    run.diag.terminal = platform::is_terminal(platform::Stream::standard_error);

    const FirstArgument first = argc < 2 ? FirstArgument::image : first_argument(argv[1]);
    switch (first) {
        case FirstArgument::help:
            if (!platform::write_all(platform::Stream::standard_output, kHelp, sizeof kHelp - 1,
                                     &run.out.reason)) {
                return refused_output(run.out, run.diag);
            }
            return kSuccess;
        case FirstArgument::json:
        case FirstArgument::check: {
            std::vector<std::string> images;
            if (!image_arguments(argc, argv, 2, &images, run.diag)) {
                return kUsage;
            }
            if (images.empty()) {
                diagnostic(run.diag, std::string("usage: tolvane ") + argv[1] + " [--] IMAGE...");
                return kUsage;
            }
            return model_mode(first == FirstArgument::json ? ModelMode::json : ModelMode::check,
                              images, run.out, run.diag);
        }
        case FirstArgument::boot_image: {
            std::vector<std::string> images;
            if (argc >= 3 && !image_arguments(argc, argv, 3, &images, run.diag)) {
                return kUsage;
            }
            if (images.size() != 1) {
                diagnostic(run.diag, "usage: tolvane --boot-image N [--] IMAGE");
                return kUsage;
            }
            return boot_image_mode(argv[2], images[0], run.out, run.diag);
        }
        default:
            return report_mode(run, argc, argv, first);
    }
}
