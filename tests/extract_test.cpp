// tolvane --boot-image N IMAGE on crafted images: a directory tree that
// loops back on itself, a size that runs past the end of the image, entry
// numbers that name nothing, and standard outputs that cannot take the
// bytes (a terminal, a full disk).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "image_builder.hpp"
#include "run_command.hpp"
#include "scratch_dir.hpp"

namespace {

const std::string kTool = TOLVANE_EXECUTABLE;
constexpr std::uint32_t kCatalog = 20;
constexpr std::uint32_t kRoot = 21;
constexpr std::uint32_t kLoad = 26;  // the boot image's sector

// A directory record at `offset`; returns its length (names of even length
// are followed by a padding byte, as ISO 9660 wants).
std::size_t put_record(ImageBuilder& image, std::uint64_t offset, std::uint32_t extent,
                       std::uint32_t size, unsigned flags, const std::string& name) {
    const std::size_t length = 33 + name.size() + (name.size() % 2 == 0 ? 1 : 0);
    image.put_u8(offset, static_cast<unsigned>(length)).put_both32(offset + 2, extent);
    image.put_both32(offset + 10, size).put_u8(offset + 25, flags).put_both16(offset + 28, 1);
    image.put_u8(offset + 32, static_cast<unsigned>(name.size())).put(offset + 33, name);
    return length;
}

struct Record {
    std::uint32_t extent;
    std::uint32_t size;
    unsigned flags;  // 2: a directory; 0x80: not the file's last extent
    std::string name;
};

// A directory's sector: "." and "..", then the records.
void put_directory(ImageBuilder& image, std::uint32_t sector, std::uint32_t parent,
                   const std::vector<Record>& records) {
    std::uint64_t at = sector * kSector;
    at += put_record(image, at, sector, 2048, 2, std::string(1, '\0'));
    at += put_record(image, at, parent, 2048, 2, std::string(1, '\1'));
    for (const Record& r : records) {
        at += put_record(image, at, r.extent, r.size, r.flags, r.name);
    }
}

// The boot image's bytes: a pattern no byte of which stays put.
std::string boot_bytes(std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<char>((i * 7 + 3) % 251);
    }
    return bytes;
}

// A volume with a catalog at sector 20, root directory at 21, and one
// no-emulation entry loading 4 sectors from sector 26, where
// `boot_image_bytes` of the boot image stand before the image ends.
ImageBuilder boot_volume(std::size_t boot_image_bytes) {
    ImageBuilder image(kLoad * kSector);
    VolumeFields fields;
    fields.root_directory = kRoot;
    put_primary_volume(image, fields);
    image.put_both32(16 * kSector + 156 + 10, 2048);  // the root directory's length
    put_boot_record(image, kCatalog);
    const std::uint64_t catalog = kCatalog * kSector;
    image.put_u8(catalog, 1).put_u8(catalog + 30, 0x55).put_u8(catalog + 31, 0xAA);
    put_boot_entry(image, catalog + 32, 0x88, 0, 4, kLoad);
    image.put(kLoad * kSector, boot_bytes(boot_image_bytes));
    return image;
}

// The root holds a subdirectory pointing back at the root, a record whose
// name runs past it (BAD, skipped), SUB and the catalog's file, then a
// record length too small for a record, which ends the sector before LATE.
// SUB points at itself, at the root, at a "directory" of 4 GiB running into
// the boot image's bytes, and holds the boot image as a file of two
// extents. BAD and LATE would name the boot image wrongly if they were read.
ImageBuilder looping_tree() {
    ImageBuilder image = boot_volume(5000);
    put_directory(image, kRoot, kRoot, {{kRoot, 2048, 2, "LOOP"},
                                        {kLoad, 1, 0, "BAD"},
                                        {22, 2048, 2, "SUB"},
                                        {kCatalog, 2048, 0, "BOOT.CAT;1"}});
    const std::uint64_t root = kRoot * kSector;
    image.put_u8(root + 34 + 34 + 38 + 32, 200);  // BAD's name length
    const std::uint64_t end = root + 34 + 34 + 38 + 36 + 36 + 44;
    image.put_u8(end, 20);
    put_record(image, end + 20, kLoad, 7, 0, "LATE");
    put_directory(image, 22, kRoot, {{kRoot, 2048, 2, "BACK"},
                                     {22, 2048, 2, "SELF"},
                                     {23, 0xFFFFF000u, 2, "HUGE"},
                                     {kLoad, 4096, 0x80, "BOOT.IMG;1"},
                                     {kLoad + 2, 904, 0, "BOOT.IMG;1"}});
    return image;
}

TEST(BootImage, DirectoryTreeThatLoopsIsWalkedOnceAndNamesTheFiles) {
    ScratchDir dir;
    const std::string image = dir.write("loop.iso", looping_tree());
    const CommandResult result = run_command({kTool, "--boot-image", "1", image});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "tolvane: boot image 1: 5000 bytes at sector 26, size from the file /SUB/BOOT.IMG\n");
    EXPECT_TRUE(result.out == boot_bytes(5000)) << result.out.size() << " bytes";

    const CommandResult json = run_command({kTool, "--json", image});
    EXPECT_EQ(json.status, 0);
    EXPECT_NE(json.out.find("\"file\":\"/BOOT.CAT\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"file\":\"/SUB/BOOT.IMG\"}"), std::string::npos) << json.out;
}

TEST(BootImage, FilesAreNamedDownToEightDirectoriesBelowTheRoot) {
    for (const std::uint32_t depth : {8u, 9u}) {
        SCOPED_TRACE(std::to_string(depth) + " directories deep");
        ImageBuilder image = boot_volume(2048);
        std::uint32_t parent = kRoot;
        for (std::uint32_t level = 1; level <= depth; ++level) {
            const std::uint32_t sector = 30 + level;
            put_directory(image, parent, parent == kRoot ? kRoot : parent - 1,
                          {{sector, 2048, 2, "D" + std::to_string(level)}});
            parent = sector;
        }
        put_directory(image, parent, parent - 1, {{kLoad, 2048, 0, "BOOT.IMG;1"}});
        image.resize((parent + 1) * kSector);
        ScratchDir dir;
        const CommandResult result = run_command({kTool, "--boot-image", "1", dir.write("deep.iso", image)});
        EXPECT_EQ(result.status, 0);
        std::string path;
        for (std::uint32_t level = 1; level <= depth; ++level) {
            path += "/D" + std::to_string(level);
        }
        EXPECT_EQ(result.err, depth == 8
            ? "tolvane: boot image 1: 2048 bytes at sector 26, size from the file " + path + "/BOOT.IMG\n"
            : std::string("tolvane: boot image 1: 2048 bytes at sector 26, size from its sector count\n"));
    }
}

TEST(BootImage, ImageEndingInsideTheBootImageWritesWhatExists) {
    const struct {
        std::uint32_t claimed;  // the boot information table's length
    } cases[] = {{10000}, {0xFFFFFFF0u}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.claimed);
        ImageBuilder image = boot_volume(3000);
        put_boot_table(image, kLoad, 16, kLoad, c.claimed, "\1\2\3\4");
        std::string bytes = boot_bytes(3000);
        bytes.replace(8, 16, std::string(reinterpret_cast<const char*>(image.bytes().data()) +
                                             kLoad * kSector + 8, 16));
        ScratchDir dir;
        const std::string path = dir.write("short.iso", image);
        const CommandResult result = run_command({kTool, "--boot-image", "1", path});
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(result.out == bytes) << result.out.size() << " bytes";
        const std::string claimed = std::to_string(c.claimed);
        EXPECT_EQ(result.err, "tolvane: boot image 1: " + claimed +
                                  " bytes at sector 26, size from its boot information table\n"
                                  "tolvane: " + path + ": the image ends inside boot image 1: "
                                  "3000 bytes written, " + std::to_string(c.claimed - 3000) +
                                  " missing\n");
    }
}

TEST(BootImage, EntryNumbers) {
    ScratchDir dir;
    const std::string path = dir.write("one.iso", boot_volume(2048));
    const std::string usage = "Try 'tolvane --help' for more information.\n";
    const struct {
        std::string number;
        int status;
        std::string err;
    } cases[] = {
        {"2", 1, "tolvane: " + path + ": no boot entry 2: the boot catalog holds 1\n"},
        {"0", 1, "tolvane: " + path + ": no boot entry 0: the boot catalog holds 1\n"},
        {"99999999999999999999999", 1,
         "tolvane: " + path + ": no boot entry 99999999999999999999999: the boot catalog holds 1\n"},
        {"x", 2, "tolvane: --boot-image: 'x' is not a boot entry number (1 for the first entry)\n" + usage},
        {"-1", 2, "tolvane: --boot-image: '-1' is not a boot entry number (1 for the first entry)\n" + usage},
        {"1x", 2, "tolvane: --boot-image: '1x' is not a boot entry number (1 for the first entry)\n" + usage},
        {"", 2, "tolvane: --boot-image: '' is not a boot entry number (1 for the first entry)\n" + usage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("N = '" + c.number + "'");
        const CommandResult result = run_command({kTool, "--boot-image", c.number, path});
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);
    }
    const CommandResult missing = run_command({kTool, "--boot-image", "1", dir.path() + "/none.iso"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "tolvane: " + dir.path() + "/none.iso: No such file or directory\n");
}

// Runs the tool with standard output on a pseudo-terminal; returns what
// reached the terminal.
CommandResult run_on_terminal(const std::vector<std::string>& args) {
    CommandResult result;
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed";
        return result;
    }
    std::string err_name = temp_dir() + "/tolvane-err-XXXXXX";
    const int err_fd = mkstemp(&err_name[0]);
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, 1);
        dup2(err_fd, 2);
        close(master);
        close(slave);
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    close(slave);
    char buffer[4096];
    pollfd ready{master, POLLIN, 0};
    while (poll(&ready, 1, 0) > 0) {
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        result.out.append(buffer, static_cast<std::size_t>(got));
    }
    close(master);
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    close(err_fd);
    result.err = read_whole_file(err_name);
    unlink(err_name.c_str());
    return result;
}

TEST(BootImage, RefusesTerminalAndFullOutputs) {
    ScratchDir dir;
    const std::string path = dir.write("one.iso", boot_volume(2048));
    const CommandResult terminal = run_on_terminal({kTool, "--boot-image", "1", path});
    EXPECT_EQ(terminal.status, 2);
    EXPECT_EQ(terminal.out, "");
    EXPECT_EQ(terminal.err, "tolvane: --boot-image writes binary data; standard output is a "
                            "terminal: redirect it to a file or a pipe\n");

    const CommandResult full = run_command({kTool, "--boot-image", "1", path}, StdoutTo::dev_full);
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "tolvane: boot image 1: 2048 bytes at sector 26, size from its sector count\n"
                        "tolvane: error writing standard output: No space left on device\n");
}

}  // namespace
