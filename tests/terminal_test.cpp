// Untrusted bytes and the reader's terminal: run on a real pseudo-terminal,
// the report shows every field byte outside printable ASCII as '?', so an
// image cannot send escape sequences or control bytes to the terminal; run
// into a pipe or a file, it writes the same fields exactly as stored.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "expected_reports.hpp"
#include "image_builder.hpp"
#include "run_command.hpp"
#include "scratch_dir.hpp"

namespace {

const std::string kTool = TOLVANE_EXECUTABLE;

// A text field: the bytes an image puts in it, the whole field as the report
// writes it into a file or a pipe, and as it must show on a terminal.
struct Field {
    std::string text;
    std::string stored;
    std::string on_terminal;
};

// Identifier fields, padded with spaces by the image builder.
Field padded(const std::string& text, const std::string& shown, std::size_t width) {
    return Field{text, pad(text, width), pad(shown, width)};
}
// Fields shown at a fixed width whatever they hold: the rest of the width is
// zero bytes in these images, and a terminal sees '?' for each.
Field raw(const std::string& text, const std::string& shown, std::size_t width) {
    return Field{text, text + nuls(width - text.size()),
                 shown + std::string(width - shown.size(), '?')};
}

const Field kSystem = padded("SYS\x1b]0;pwned\x07", "SYS?]0;pwned?", 32);      // retitle, bell
const Field kVolume = padded("VOL\x1b[2J\x1b[H", "VOL?[2J?[H", 32);             // clear, home
const Field kVolumeSet = padded("SET\b\b\bXYZ\r", "SET???XYZ?", 128);           // backspace, CR
const Field kPublisher = padded(std::string("PUB\0LISHER", 10), "PUB?LISHER", 128);
const Field kPreparer = padded("\x9b" "31m\x80\xfe\xff", "?31m???", 128);     // 8-bit CSI
const Field kApplication = padded("APP\x7f\x1b", "APP??", 128);               // DEL, lone ESC
const Field kBootSystem = raw("EL TORITO\x1b" "c\x0e\x0f", "EL TORITO?c??", 23);  // reset
const Field kManufacturer = raw(std::string("MK\x1b[31m\x07\0\x85", 10), "MK?[31m???", 17);
const Field kIdString = raw("ID\x1b[?1049h\r\nX", "ID?[?1049h??X", 27);      // CR LF inside

ImageBuilder hostile_image() {
    VolumeFields fields;
    fields.system = kSystem.text;
    fields.volume = kVolume.text;
    fields.volume_set = kVolumeSet.text;
    fields.publisher = kPublisher.text;
    fields.preparer = kPreparer.text;
    fields.application = kApplication.text;
    ImageBuilder image(24 * kSector);
    put_primary_volume(image, fields);
    put_boot_record(image, 20);
    image.put(17 * kSector + 7, kBootSystem.stored);
    const std::uint64_t catalog = 20 * kSector;
    image.put_u8(catalog, 1).put(catalog + 4, kManufacturer.stored);
    put_boot_entry(image, catalog + 32, 0x88, 0, 4, 22);
    image.put_u8(catalog + 64, 0x91).put_u8(catalog + 65, 0xEF).put_le16(catalog + 66, 1);
    image.put(catalog + 68, kIdString.stored);
    put_boot_entry(image, catalog + 96, 0x88, 0, 8, 23);
    put_boot_table(image, 22, 16, 22, 2048, "\x1b\x07\x0d\x0a");
    return image;
}

std::string expected_report(bool terminal) {
    auto shown = [terminal](const Field& field) {
        return terminal ? field.on_terminal : field.stored;
    };
    return kBanner + kSeparator +
           "Primary volume\r\n"
           "Standard Identifier:CD001\r\n"
           "System Identifier:" + shown(kSystem) + "\r\n"
           "Volume Identifier:" + shown(kVolume) + "\r\n"
           "Volume Set Identifier:" + shown(kVolumeSet) + "\r\n"
           "Publisher Identifier:" + shown(kPublisher) + "\r\n"
           "Data Preparer Identifier:" + shown(kPreparer) + "\r\n"
           "Application Identifier:" + shown(kApplication) + "\r\n"
           "Logical Blocksize:2048\r\n"
           "Volume Size:64 blocks. 0MB\r\n"
           "path_table:$00009800 (38912)\r\n"
           "root_directory:$0000A800 (43008)\r\n" +
           kSeparator +
           "boot-record-volume\r\n"
           "ISO9660_Identifier:CD001\r\n"
           "Boot_System_identifier:" + shown(kBootSystem) + "\r\n"
           "first_sector_of_Boot_Catalog:$00000014 (40960)\r\n" +
           kSeparator +
           "boot-catalog\r\n"
           "->Validation Entry [entry #0]\r\n"
           "platform_id:0\r\n"
           "manufacturer:" + shown(kManufacturer) + "\r\n"
           "->Initial/Default Entry\r\n"
           "boot_indicator:$88\r\n"
           "boot_media_type:0\r\n"
           "starting_sector:$00000016 (45056)\r\n"
           "virtual_sector_count:$0004 (2048)\r\n"
           "boot_table.bi_pvd_lba:$00000010 (32768)\r\n"
           "boot_table.bi_file_lba:$00000016 (45056)\r\n"
           "boot_table.bi_length:2048\r\n"
           "boot_table.bi_csum:$1B070D0A\r\n"
           "->Section Header Entry [entry #1]\r\n"
           "header_indicator:$91\r\n"
           "platform_id:$EF\r\n"
           "Number_of_section_entries:$1\r\n"
           "id_string:" + shown(kIdString) + "\r\n"
           "->Section Entry\r\n"
           "boot_indicator:$88\r\n"
           "boot_media_type:0\r\n"
           "starting_sector:$00000017 (47104)\r\n"
           "virtual_sector_count:$0008 (4096)\r\n";
}

// Which of the tool's streams goes to the terminal or pipe; the other goes
// to a file.
enum class Shown { standard_output = 1, standard_error = 2 };

// Runs the tool with `args` and the `shown` stream on `writer`, collecting
// what arrives at `reader` until the writing side is closed: end of file on
// a pipe, EIO on a pseudo-terminal's master once the child has exited.
CommandResult run_writing_to(const std::vector<std::string>& args, Shown shown, int writer,
                             int reader) {
    CommandResult result;
    std::string file_name = temp_dir() + "/tolvane-file-XXXXXX";
    const int file_fd = mkstemp(&file_name[0]);
    const int shown_fd = static_cast<int>(shown);
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        ioctl(writer, TIOCSCTTY, 0);  // a controlling terminal, as in a shell (no-op on a pipe)
        dup2(writer, shown_fd);
        dup2(file_fd, 3 - shown_fd);
        const int null_in = open("/dev/null", O_RDONLY);
        dup2(null_in, 0);
        close(reader);
        close(writer);
        std::vector<char*> argv{const_cast<char*>(kTool.c_str())};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(writer);
    char buffer[4096];
    for (;;) {
        pollfd ready{reader, POLLIN, 0};
        if (poll(&ready, 1, 20000) <= 0) {
            ADD_FAILURE() << "no output for 20 s";
            kill(child, SIGKILL);
            break;
        }
        const ssize_t got = read(reader, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;  // 0 on a pipe, EIO on the master: the child's side is closed
        }
        (shown == Shown::standard_output ? result.out : result.err)
            .append(buffer, static_cast<std::size_t>(got));
    }
    close(reader);
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    close(file_fd);
    (shown == Shown::standard_output ? result.err : result.out) = read_whole_file(file_name);
    unlink(file_name.c_str());
    return result;
}

// Line ends are not translated on the way to the master (no output
// processing), so the test sees the bytes the program wrote.
CommandResult run_on_terminal(const std::vector<std::string>& args,
                              Shown shown = Shown::standard_output) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed";
        return CommandResult{};
    }
    termios mode;
    tcgetattr(slave, &mode);
    cfmakeraw(&mode);
    tcsetattr(slave, TCSANOW, &mode);
    return run_writing_to(args, shown, slave, master);
}

CommandResult run_into_pipe(const std::vector<std::string>& args) {
    int ends[2];
    if (pipe(ends) != 0) {
        ADD_FAILURE() << "pipe failed";
        return CommandResult{};
    }
    return run_writing_to(args, Shown::standard_output, ends[1], ends[0]);
}

TEST(Terminal, UnsafeFieldBytesShowAsQuestionMarksOnATerminalOnly) {
    ScratchDir dir;
    const std::string image = dir.write("hostile.iso", hostile_image());

    const CommandResult terminal = run_on_terminal({image});
    EXPECT_EQ(terminal.status, 0);
    EXPECT_EQ(terminal.err, "");
    EXPECT_EQ(terminal.out, expected_report(true));

    const CommandResult piped = run_into_pipe({image});
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(piped.out, expected_report(false));

    const CommandResult filed = run_command({kTool, image}, StdoutTo::file);
    EXPECT_EQ(filed.status, 0);
    EXPECT_EQ(filed.err, "");
    EXPECT_EQ(filed.out, expected_report(false));
}

// A path is shown like a field: on a terminal its control characters (C0,
// DEL, C1 as a byte or in UTF-8) and bytes that are not UTF-8 become '?',
// and its letters stay; in a file it is written exactly.
TEST(Terminal, PathsInMessagesShowNoControlBytesOnATerminalAndExactBytesInAFile) {
    ScratchDir dir;
    const std::string name = "x\x1b[31m\x07\x9b\xc2\x9b\xd0\xbe\xd0\xb1\xd1\x80\xd0\xb0\xd0\xb7.iso";
    const std::string shown = "x?[31m???\xd0\xbe\xd0\xb1\xd1\x80\xd0\xb0\xd0\xb7.iso";  // "образ"
    const std::string missing = dir.path() + "/" + name;
    ImageBuilder cut(24 * kSector);
    put_primary_volume(cut, VolumeFields{});
    put_boot_record(cut, 20);
    cut.resize(17 * kSector + 60);  // ends inside the boot record
    const std::string cut_path = dir.write(name + ".cut", cut);
    const std::string retitle = "x\x1b]0;PWNED\x07.iso";

    const std::string no_such = ": No such file or directory\n";
    const std::string past_end =
        ": 452 of the 512 bytes at byte position 34816 lie past the end of the image; "
        "read as zero bytes\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string in_file;       // standard error as a file gets it
        std::string on_terminal;   // and as a terminal shows it
    };
    const Case cases[] = {
        {{missing}, 1, "tolvane: " + missing + no_such,
         "tolvane: " + dir.path() + "/" + shown + no_such},
        {{"--check", missing}, 1, "tolvane: " + missing + no_such,
         "tolvane: " + dir.path() + "/" + shown + no_such},
        {{cut_path}, 0, "tolvane: warning: " + cut_path + past_end,
         "tolvane: warning: " + dir.path() + "/" + shown + ".cut" + past_end},
        {{retitle}, 1, "tolvane: " + retitle + no_such, "tolvane: x?]0;PWNED?.iso" + no_such},
    };
    for (const Case& c : cases) {
        const std::string& path = c.args.back();
        const CommandResult terminal = run_on_terminal(c.args, Shown::standard_error);
        EXPECT_EQ(terminal.status, c.status) << path;
        EXPECT_EQ(terminal.err, c.on_terminal) << path;
        EXPECT_EQ(terminal.err.find_first_of("\x1b\x07"), std::string::npos) << path;
        EXPECT_NE(terminal.err.find("tolvane"), std::string::npos) << path;

        std::vector<std::string> args{kTool};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CommandResult filed = run_command(args);
        EXPECT_EQ(filed.status, c.status) << path;
        EXPECT_EQ(filed.err, c.in_file) << path;
        EXPECT_EQ(filed.out, terminal.out) << path;
    }
}

// --json escapes every byte outside printable ASCII itself, so the document
// is the same bytes on a terminal, in a pipe and in a file, and holds no
// control byte of the image.
TEST(Terminal, JsonIsTheSameOnATerminalAndInAPipe) {
    ScratchDir dir;
    const std::string image = dir.write("hostile.iso", hostile_image());
    const CommandResult filed = run_command({kTool, "--json", image}, StdoutTo::file);
    EXPECT_EQ(filed.status, 0);
    EXPECT_EQ(filed.err, "");
    ASSERT_FALSE(filed.out.empty());
    EXPECT_EQ(filed.out.find('\n'), filed.out.size() - 1);
    for (const char c : filed.out.substr(0, filed.out.size() - 1)) {
        ASSERT_TRUE(c >= 0x20 && c <= 0x7E) << "byte " << static_cast<int>(static_cast<unsigned char>(c));
    }
    EXPECT_NE(filed.out.find(R"("system_identifier":"SYS\u001b]0;pwned\u0007)"), std::string::npos);
    const CommandResult terminal = run_on_terminal({"--json", image});
    EXPECT_EQ(terminal.status, 0);
    EXPECT_EQ(terminal.out, filed.out);
    const CommandResult piped = run_into_pipe({"--json", image});
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out, filed.out);
}

}  // namespace
