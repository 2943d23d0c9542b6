// The image access layer against a source that behaves like a raw drive:
// it refuses every read that is not whole sectors at a sector boundary, and
// it has an end that need not fall on a block of ours. The report, the JSON
// model and the checks read such a drive exactly as they read the same bytes
// from memory, and the cache keeps the report's reads down.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "checks.hpp"
#include "image.hpp"
#include "image_builder.hpp"
#include "json_output.hpp"
#include "model.hpp"
#include "tolvane.hpp"

namespace {

// Bytes in memory read as a raw drive reads its disc: whole sectors at
// sector boundaries only (anything else fails with EINVAL, as the system
// refuses it), nothing past its end, and sectors that cannot be read (EIO,
// after the sectors before them have arrived).
struct RawDrive {
    std::vector<unsigned char> bytes;
    std::uint32_t sector;
    std::set<std::uint64_t> bad_sectors;  // in this drive's sectors
    std::vector<std::string> refused;     // the requests it refused, for messages

    static std::size_t read(void* context, std::uint64_t position, unsigned char* buffer,
                            std::size_t count, bool* failed, platform::ErrorText* reason) {
        RawDrive& drive = *static_cast<RawDrive*>(context);
        *failed = false;
        if (position % drive.sector != 0 || count % drive.sector != 0 || count == 0 ||
            position + count > drive.bytes.size()) {
            drive.refused.push_back(std::to_string(count) + " bytes at " + std::to_string(position));
            return fail(failed, reason, EINVAL);
        }
        std::size_t delivered = 0;
        while (delivered < count) {
            if (drive.bad_sectors.count((position + delivered) / drive.sector) != 0) {
                fail(failed, reason, EIO);
                break;
            }
            std::memcpy(buffer + delivered, drive.bytes.data() + position + delivered, drive.sector);
            delivered += drive.sector;
        }
        return delivered;
    }

    static std::size_t fail(bool* failed, platform::ErrorText* reason, int error) {
        *failed = true;
        std::strncpy(reason->text, std::strerror(error), sizeof reason->text - 1);
        reason->text[sizeof reason->text - 1] = '\0';
        return 0;
    }
};

const char* const kName = "drive.iso";

struct Sources {
    std::unique_ptr<ImageSource> drive;
    std::unique_ptr<ImageSource> memory;
};

Sources sources_for(RawDrive& drive) {
    Sources s{std::make_unique<ImageSource>(), std::make_unique<ImageSource>()};
    reader_image_source(*s.drive, kName, ImageReader{RawDrive::read, &drive}, drive.sector,
                        drive.bytes.size());
    memory_image_source(*s.memory, kName, drive.bytes.data(), drive.bytes.size());
    return s;
}

struct ReportRun {
    int status;
    std::string report;
    std::string diagnostics;
    std::size_t reads;
};

ReportRun report_of(ImageSource& source) {
    ReportRun run{0, "", "", 0};
    run.status = report_image_source(source, false, &run.report, &run.diagnostics);
    run.reads = source.system_reads;
    return run;
}

// The JSON line and the check lines of the model read from `source`.
std::string model_output(ImageSource& source) {
    ImageModel model;
    read_model(source, kName, ModelOptions{true}, model);
    judge(model);
    std::string text = model_json(model) + "\n";
    for (const Finding& finding : model.findings) {
        text += finding_line(kName, finding) + "\n";
    }
    if (model.read_failed) {
        text += "read failed at " + std::to_string(model.read_error_position) + ": " +
                model.read_error_reason + "\n";
    }
    return text;
}

constexpr std::uint64_t kDriveSectors[] = {512, 2048, 4096};

// A bootable image whose catalog, boot images and boot information tables
// stand where the fixture puts them, `sectors` 2048-byte sectors long plus
// `tail` bytes.
struct Layout {
    const char* name;
    std::uint32_t catalog;
    std::uint32_t first_image;
    std::uint32_t second_image;
    std::uint32_t sectors;
    std::uint64_t tail;
};

ImageBuilder image_of(const Layout& layout) {
    VolumeFields fields;
    fields.volume_sectors = layout.sectors;
    ImageBuilder image(layout.sectors * kSector + layout.tail);
    put_primary_volume(image, fields);
    image.put_u8(18 * kSector, 255).put(18 * kSector + 1, "CD001").put_u8(18 * kSector + 6, 1);
    put_boot_record(image, layout.catalog);
    const std::uint64_t catalog = layout.catalog * kSector;
    image.put_u8(catalog, 1).put(catalog + 4, "RAW DRIVE TEST");
    image.put_u8(catalog + 30, 0x55).put_u8(catalog + 31, 0xAA);
    put_boot_entry(image, catalog + 32, 0x88, 0, 4, layout.first_image);
    image.put_u8(catalog + 64, 0x91).put_u8(catalog + 65, 0xEF).put_le16(catalog + 66, 1);
    image.put(catalog + 68, "UEFI");
    put_boot_entry(image, catalog + 96, 0x88, 0, 1, layout.second_image);
    // Each boot image holds a table whose length runs to the image's end, so
    // that its checksum reads every byte up to the drive's last sector.
    for (const std::uint32_t boot : {layout.first_image, layout.second_image}) {
        if (std::uint64_t{boot} * kSector >= image.size()) {
            continue;
        }
        const std::uint32_t length =
            static_cast<std::uint32_t>(image.size() - std::uint64_t{boot} * kSector);
        put_boot_table(image, boot, 16, boot, length, "\x12\x34\x56\x78");
        image.put(boot * kSector + 64, "boot image at sector " + std::to_string(boot));
    }
    image.resize(layout.sectors * kSector + layout.tail);
    return image;
}

// 54 sectors (110592 bytes) end 12 KiB into a 32 KiB block: a whole number
// of 4096-byte sectors, so every drive below can hold them.
const Layout kLayouts[] = {
    {"odd sectors", 33, 47, 49, 54, 0},
    {"catalog in the last sector", 53, 35, 51, 54, 0},
    {"boot images in the last sectors", 19, 52, 53, 54, 0},
    {"boot image past the end", 41, 53, 900, 54, 0},
};

TEST(ImageAccess, RawDrivesReadLikeMemoryWithOnlyWholeAlignedSectors) {
    for (const Layout& layout : kLayouts) {
        for (const std::uint64_t sector : kDriveSectors) {
            RawDrive drive{image_of(layout).bytes(), static_cast<std::uint32_t>(sector), {}, {}};
            Sources s = sources_for(drive);
            const std::string context = std::string(layout.name) + ", " + std::to_string(sector) +
                                        "-byte sectors";

            const ReportRun from_drive = report_of(*s.drive);
            const ReportRun from_memory = report_of(*s.memory);
            EXPECT_EQ(from_drive.report, from_memory.report) << context;
            EXPECT_EQ(from_drive.diagnostics, from_memory.diagnostics) << context;
            EXPECT_EQ(from_drive.status, from_memory.status) << context;
            EXPECT_EQ(model_output(*s.drive), model_output(*s.memory)) << context;
            EXPECT_EQ(drive.refused, std::vector<std::string>{}) << context;
        }
    }
}

TEST(ImageAccess, ImageThatEndsInsideADriveSectorOfOursReadsLikeMemory) {
    // 512-byte sectors: the image ends 512 bytes into a 2048-byte sector, and
    // the catalog stands in those last 512 bytes.
    const Layout layout{"last 512 bytes", 54, 34, 35, 54, 512};
    RawDrive drive{image_of(layout).bytes(), 512, {}, {}};
    Sources s = sources_for(drive);
    const ReportRun from_drive = report_of(*s.drive);
    const ReportRun from_memory = report_of(*s.memory);
    EXPECT_NE(from_drive.report.find("RAW DRIVE TEST"), std::string::npos);
    EXPECT_EQ(from_drive.report, from_memory.report);
    EXPECT_EQ(from_drive.diagnostics, from_memory.diagnostics);
    EXPECT_EQ(model_output(*s.drive), model_output(*s.memory));
    EXPECT_EQ(drive.refused, std::vector<std::string>{});
}

TEST(ImageAccess, ReportOfASampleLikeLayoutReadsTwoBlocks) {
    // Sectors 16 and 17 in one block; the catalog and both boot images side
    // by side in the next, as mastering tools lay them out.
    const Layout layout{"sample-like", 33, 34, 35, 70, 0};
    for (const std::uint64_t sector : kDriveSectors) {
        RawDrive drive{image_of(layout).bytes(), static_cast<std::uint32_t>(sector), {}, {}};
        Sources s = sources_for(drive);
        const ReportRun from_drive = report_of(*s.drive);
        EXPECT_EQ(from_drive.report, report_of(*s.memory).report);
        EXPECT_EQ(from_drive.reads, 2u) << sector << "-byte sectors";
        EXPECT_LT(from_drive.reads, 5u);
    }
}

TEST(ImageAccess, BadSectorFailsOnlyTheReadsOfItsOwnBytes) {
    const Layout layout{"sample-like", 33, 34, 35, 70, 0};
    const ImageBuilder image = image_of(layout);

    // A bad sector the report never reads, in the block of sectors 16 and 17.
    RawDrive elsewhere{image.bytes(), 2048, {20}, {}};
    Sources s = sources_for(elsewhere);
    const ReportRun past_bad = report_of(*s.drive);
    const ReportRun from_memory = report_of(*s.memory);
    EXPECT_EQ(past_bad.report, from_memory.report);
    EXPECT_EQ(past_bad.diagnostics, "");
    EXPECT_EQ(past_bad.status, 0);

    // The primary volume descriptor's sector is bad: that read fails alone,
    // and the boot record right behind it is read.
    RawDrive first{image.bytes(), 2048, {16}, {}};
    Sources t = sources_for(first);
    const ReportRun bad_pvd = report_of(*t.drive);
    ImageBuilder without_pvd = image;
    without_pvd.put(16 * kSector, std::string(kSector, '\0'));
    std::string expected;
    std::string ignored;
    report_memory_image(without_pvd.bytes().data(), without_pvd.size(), false, &expected, &ignored);
    EXPECT_EQ(bad_pvd.report, expected);
    EXPECT_EQ(bad_pvd.diagnostics,
              "tolvane: drive.iso: read error at byte position 32768: Input/output error; "
              "2048 of 2048 bytes read as zero bytes\n");
    EXPECT_EQ(bad_pvd.status, 1);
}

}  // namespace
