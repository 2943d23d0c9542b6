// Block devices: the sample image and a fixture attached read-only to a
// Linux loop device with 2048-byte logical sectors read exactly as their
// files do, and the device's size (which fstat gives as 0) is the image's
// size. Needs root and loop devices; skipped, saying why, where they cannot
// be set up, and failed instead when CI is set.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "image_builder.hpp"
#include "run_command.hpp"
#include "scratch_dir.hpp"

namespace {

const std::string kTool = TOLVANE_EXECUTABLE;
const std::string kSample = TOLVANE_SAMPLE_IMAGE;

std::string find_losetup() {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/losetup";
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

// A file attached read-only to a free loop device, detached when it goes.
// `device` is empty, and `why` says why, when it could not be attached.
class LoopDevice {
public:
    explicit LoopDevice(const std::string& file) {
        if (geteuid() != 0) {
            why_ = "not running as root";
            return;
        }
        if (access("/dev/loop-control", F_OK) != 0) {
            why_ = "no /dev/loop-control";
            return;
        }
        losetup_ = find_losetup();
        if (losetup_.empty()) {
            why_ = "losetup is missing (Debian package mount)";
            return;
        }
        const CommandResult attached = run_command(
            {losetup_, "--find", "--show", "--read-only", "--sector-size", "2048", file});
        std::string name = attached.out;
        while (!name.empty() && name.back() == '\n') {
            name.pop_back();
        }
        if (attached.status != 0 || name.rfind("/dev/", 0) != 0) {
            why_ = "losetup could not attach " + file + ": " + attached.err;
            return;
        }
        device_ = name;
    }
    ~LoopDevice() {
        if (!device_.empty()) {
            run_command({losetup_, "--detach", device_});
        }
    }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    const std::string& device() const { return device_; }
    const std::string& why() const { return why_; }

private:
    std::string losetup_;
    std::string device_;
    std::string why_;
};

// The catalog in the last sector and boot images at odd sectors, in 54
// sectors: the device ends 12 KiB into a 32 KiB block.
ImageBuilder end_of_device_image() {
    ImageBuilder image(54 * kSector);
    VolumeFields fields;
    fields.volume_sectors = 54;
    put_primary_volume(image, fields);
    put_boot_record(image, 53);
    const std::uint64_t catalog = 53 * kSector;
    image.put_u8(catalog, 1).put(catalog + 4, "LOOP DEVICE TEST");
    put_boot_entry(image, catalog + 32, 0x88, 0, 4, 35);
    image.put_u8(catalog + 64, 0x91).put_u8(catalog + 65, 0xEF).put_le16(catalog + 66, 1);
    put_boot_entry(image, catalog + 96, 0x88, 0, 1, 51);
    put_boot_table(image, 35, 16, 35, 19 * kSector, "\x01\x02\x03\x04");
    put_boot_table(image, 51, 16, 51, 3 * kSector, "\x05\x06\x07\x08");
    return image;
}

std::string replaced_all(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

TEST(LoopDevice, ReadsLikeItsFileWithTheDevicesSize) {
    ScratchDir dir;
    const std::string fixture = dir.write("end.iso", end_of_device_image());
    for (const std::string& file : {kSample, fixture}) {
        const LoopDevice loop(file);
        if (loop.device().empty()) {
            if (std::getenv("CI") != nullptr) {
                FAIL() << "no loop device, and CI is set: " << loop.why();
            }
            GTEST_SKIP() << "no loop device: " << loop.why();
        }
        const std::string& device = loop.device();

        const CommandResult from_file = run_command({kTool, file});
        const CommandResult from_device = run_command({kTool, device});
        EXPECT_EQ(from_file.status, 0) << file;
        EXPECT_EQ(from_file.err, "") << file;
        EXPECT_EQ(from_device.status, 0) << device << " holding " << file;
        EXPECT_EQ(from_device.err, "") << device << " holding " << file;
        EXPECT_EQ(from_device.out, from_file.out) << device << " holding " << file;

        const std::string size = std::to_string(read_whole_file(file).size());
        const CommandResult json_file = run_command({kTool, "--json", file});
        const CommandResult json_device = run_command({kTool, "--json", device});
        EXPECT_EQ(json_device.status, 0) << device << ": " << json_device.err;
        EXPECT_NE(json_device.out.find("\"image_size\":" + size + ","), std::string::npos)
            << json_device.out;
        EXPECT_EQ(json_device.out, replaced_all(json_file.out, "\"" + file + "\"", "\"" + device + "\""));
    }
}

}  // namespace
