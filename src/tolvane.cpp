#include "tolvane.hpp"

#include <cstdio>
#include <cstring>

#include "eltorito.hpp"
#include "report.hpp"
#include "volume.hpp"

#ifndef TOLVANE_VERSION
#define TOLVANE_VERSION "0.0"
#endif

namespace {

constexpr const char* kBanner = "tolvane " TOLVANE_VERSION " by tolvane-maintainers@example.org";
constexpr const char* kSeparator = "*****************************************";

// Exit statuses.
constexpr int kSuccess = 0;
constexpr int kFailure = 1;  // unreadable image, read error, refused output
constexpr int kUsage = 2;

// What `tolvane --help` prints. Unlike the report, whose lines end with
// CR LF everywhere, this is text for people: plain LF line ends, the same
// bytes on every platform.
constexpr const char kHelp[] =
    "usage: tolvane [--] IMAGE\n"
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
    "Options are recognised in the first argument only; arguments after the\n"
    "image are ignored.\n"
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
    "\n"
    "The manual page tolvane(1) describes the report line by line.\n";

// What the first argument asks for. Options are recognised there only, and
// spelled out whole; "-" alone is an image name, as with most Unix tools.
enum class FirstArgument { image, help, version, end_of_options, unknown_option };

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
    return FirstArgument::unknown_option;
}

// Writes one line of warning or error to standard error (or the test's string).
void diagnostic(Diagnostics& diag, const char* line) {
    const std::size_t length = std::strlen(line);
    if (diag.capture != nullptr) {
        diag.capture->append(line, length);
        diag.capture->push_back('\n');
        return;
    }
    char text[8192 + 2];
    std::size_t kept = length < 8192 ? length : 8192;
    std::memcpy(text, line, kept);
    text[kept++] = '\n';
    platform::ErrorText ignored;
    platform::write_all(platform::Stream::standard_error, text, kept, &ignored);
}

// Copies what the in-memory image holds at `position`; nothing past its end.
std::size_t read_memory(const Image& image, BytePosition position,
                        unsigned char* buffer, std::size_t count) {
    if (position >= image.memory_size) {
        return 0;
    }
    const std::uint64_t available = image.memory_size - position;
    const std::size_t delivered = available < count ? static_cast<std::size_t>(available) : count;
    std::memcpy(buffer, image.memory + position, delivered);
    return delivered;
}

// Says why standard output refused the report, and fails the run.
int refused_output(Run& run) {
    char line[512];
    std::snprintf(line, sizeof line, "tolvane: error writing standard output: %s",
                  run.out.reason.text);
    diagnostic(run.diag, line);
    return kFailure;
}

// Passes on the last lines of the report and returns the run's exit status:
// `status` unless the output refused the report or a read failed.
int finish(Run& run, int status) {
    if (!flush_output(run.out)) {
        return refused_output(run);
    }
    return run.read_failed ? kFailure : status;
}

}  // namespace

Text field_text(const unsigned char* field, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        if (field[i] != ' ') {
            return Text{field, width};
        }
    }
    return Text{field, 0};
}

std::uint32_t swap_bytes32(std::uint32_t value) {
    return ((value & 0x000000FFu) << 24) | ((value & 0x0000FF00u) << 8) |
           ((value & 0x00FF0000u) >> 8) | ((value & 0xFF000000u) >> 24);
}

bool open_image(Run& run, const char* path) {
    platform::ErrorText reason;
    run.image.name = path;
    run.image.file = platform::open_read_only(path, &reason);
    if (!run.image.file.valid) {
        flush_output(run.out);  // the banner comes before the message
        char line[8192];
        std::snprintf(line, sizeof line, "tolvane: %s: %s", path, reason.text);
        diagnostic(run.diag, line);
        return false;
    }
    return true;
}

void read_at(Run& run, BytePosition position, unsigned char* buffer, std::size_t count) {
    bool failed = false;
    platform::ErrorText reason;
    reason.text[0] = '\0';
    std::size_t delivered;
    if (run.image.memory != nullptr || !run.image.file.valid) {
        delivered = read_memory(run.image, position, buffer, count);
    } else {
        delivered = platform::read_at_position(run.image.file, position, buffer, count,
                                               &failed, &reason);
    }
    if (delivered >= count) {
        return;
    }
    // Never let an earlier read's bytes stand in for bytes the image lacks.
    std::memset(buffer + delivered, 0, count - delivered);
    char line[8192];
    const unsigned long long at = position;
    const unsigned long long missing = count - delivered;
    if (failed) {
        run.read_failed = true;
        std::snprintf(line, sizeof line,
                      "tolvane: %s: read error at byte position %llu: %s; "
                      "%llu of %zu bytes read as zero bytes",
                      run.image.name, at, reason.text, missing, count);
    } else {
        std::snprintf(line, sizeof line,
                      "tolvane: warning: %s: %llu of the %zu bytes at byte position %llu "
                      "lie past the end of the image; read as zero bytes",
                      run.image.name, missing, count, at);
    }
    diagnostic(run.diag, line);
}

void close_image(Run& run) {
    if (run.image.memory == nullptr && run.image.file.valid) {
        platform::close_file(run.image.file);
        run.image.file.valid = false;
    }
}

void banner_line(Output& out) { heading_line(out, kBanner); }

void report_sections(Run& run) {
    heading_line(run.out, kSeparator);
    primary_volume_section(run);
    heading_line(run.out, kSeparator);
    const Sector catalog = boot_record_section(run);
    heading_line(run.out, kSeparator);
    boot_catalog_section(run, catalog);
}

int report_memory_image(const unsigned char* bytes, std::uint64_t size, bool as_on_terminal,
                        std::string* report, std::string* diagnostics) {
    static const unsigned char kNoBytes[1] = {0};
    Run run{};
    run.image = Image{"(memory)", platform::FileHandle{}, bytes != nullptr ? bytes : kNoBytes, size};
    run.out.capture = report;
    run.out.line_by_line = as_on_terminal;
    run.out.terminal_safe = as_on_terminal;
    run.diag.capture = diagnostics;
    banner_line(run.out);
    report_sections(run);
    return finish(run, kSuccess);
}

int tolvane_main(int argc, char** argv) {
    platform::prepare_standard_streams();
    Run run{};  // zero bytes throughout: empty buffers, nothing written yet
    const bool terminal = platform::is_terminal(platform::Stream::standard_output);
    run.out.line_by_line = terminal;
    run.out.terminal_safe = terminal;

    const FirstArgument first = argc < 2 ? FirstArgument::image : first_argument(argv[1]);
    if (first == FirstArgument::help) {
        if (!platform::write_all(platform::Stream::standard_output, kHelp, sizeof kHelp - 1,
                                 &run.out.reason)) {
            return refused_output(run);
        }
        return kSuccess;
    }

    // Every other run starts with the banner, the report's own first line.
    banner_line(run.out);
    if (first == FirstArgument::version) {
        return finish(run, kSuccess);
    }
    if (first == FirstArgument::unknown_option) {
        const int status = finish(run, kUsage);
        char line[8192];
        std::snprintf(line, sizeof line, "tolvane: unknown option '%s'", argv[1]);
        diagnostic(run.diag, line);
        diagnostic(run.diag, "Try 'tolvane --help' for more information.");
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
