#include "checks.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "layout.hpp"

namespace {

namespace cat = layout::catalog;

// A finding and the byte of the image it is about, for putting the findings
// in image order. Findings about the same place keep the order they were
// made in.
struct Placed {
    std::uint64_t position;
    Finding finding;
};

std::string decimal(std::uint64_t value) { return std::to_string(value); }

// "0x" and `digits` uppercase hexadecimal digits at least.
std::string hex(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

// Bytes of the image in double quotes, each byte outside 0x20 to 0x7E shown
// as '?': these lines are for people, wherever they go.
std::string quoted(const std::string& bytes) {
    std::string text = "\"";
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        text += byte >= 0x20 && byte <= 0x7E ? c : '?';
    }
    return text + "\"";
}

// The bytes without the NUL bytes that pad them.
std::string without_nul_padding(std::string bytes) {
    const std::size_t end = bytes.find_last_not_of('\0');
    bytes.resize(end == std::string::npos ? 0 : end + 1);
    return bytes;
}

std::uint64_t sector_position(std::uint32_t sector) {
    return static_cast<std::uint64_t>(sector) * layout::kSector;
}

class Judge {
public:
    explicit Judge(const ImageModel& model) : m_(model), end_(image_end(model)) {}

    std::vector<Finding> run() {
        image_size();
        system_area();
        primary_volume();
        boot_record();
        descriptor_set();
        if (m_.boot_catalog) {
            catalog(*m_.boot_catalog);
        }
        std::stable_sort(found_.begin(), found_.end(), [](const Placed& a, const Placed& b) {
            return a.position < b.position;
        });
        std::vector<Finding> findings;
        findings.reserve(found_.size());
        for (Placed& placed : found_) {
            findings.push_back(std::move(placed.finding));
        }
        return findings;
    }

private:
    void add(Severity severity, std::uint64_t position, std::string where, std::string message) {
        found_.push_back(Placed{position, Finding{severity, std::move(where), std::move(message)}});
    }
    void error(std::uint64_t position, std::string where, std::string message) {
        add(Severity::error, position, std::move(where), std::move(message));
    }
    void warning(std::uint64_t position, std::string where, std::string message) {
        add(Severity::warning, position, std::move(where), std::move(message));
    }
    bool past_end(std::uint64_t position) const { return m_.size_known && position > end_; }
    std::string image_end_text() const { return "the end of the image at byte " + decimal(end_); }

    // A cut download or a failed copy: the volume says it is longer.
    void image_size() {
        if (!m_.primary_volume) {
            return;
        }
        const std::uint64_t sectors = m_.primary_volume->volume_space_size;
        const std::uint64_t volume = sectors * layout::kSector;
        if (past_end(volume)) {
            error(0, "image",
                  "image is " + decimal(end_) + " bytes, shorter than its volume: " + decimal(sectors) +
                      " sectors of 2048 bytes are " + decimal(volume) + " bytes");
        }
    }

    void system_area() {
        if (!m_.system_area) {
            return;
        }
        for (const Partition& p : m_.system_area->partitions) {
            const std::uint64_t partition_end =
                (static_cast<std::uint64_t>(p.first_sector) + p.sectors) * layout::mbr::kSize;
            if (past_end(partition_end)) {
                warning(0, "system area, MBR partition " + decimal(p.number),
                        "partition of " + decimal(p.sectors) + " sectors from sector " +
                            decimal(p.first_sector) + " ends at byte " + decimal(partition_end) +
                            ", past " + image_end_text());
            }
        }
    }

    void primary_volume() {
        const std::uint32_t sector = layout::kFirstDescriptorSector;
        const std::uint64_t position = sector_position(sector);
        const char* const where = "sector 16, primary volume descriptor";
        const std::vector<VolumeDescriptorInfo>& set = m_.volume_descriptors;
        if (set.empty()) {
            error(position, where,
                  past_end(position + layout::kSector)
                      ? "the image ends at byte " + decimal(end_) + ", before sector 16 ends"
                      : "no volume descriptor: the sector does not hold \"CD001\" at byte 1");
        } else if (set.front().type != layout::descriptor::kPrimary) {
            error(position, where,
                  "volume descriptor type is " + decimal(set.front().type) +
                      ", expected 1 (primary volume descriptor)");
        }
        if (m_.primary_volume && m_.primary_volume->logical_block_size != 2048) {
            warning(sector_position(m_.primary_volume->sector),
                    "sector " + decimal(m_.primary_volume->sector) + ", primary volume descriptor",
                    "logical block size is " + decimal(m_.primary_volume->logical_block_size) +
                        ", expected 2048");
        }
    }

    void boot_record() {
        if (!m_.boot_record) {
            return;
        }
        const BootRecord& record = *m_.boot_record;
        const std::uint64_t position = sector_position(record.sector);
        const auto where = [&] { return "sector " + decimal(record.sector) + ", boot record"; };
        if (!record.el_torito) {
            warning(position, where(),
                    "boot system identifier is " +
                        quoted(without_nul_padding(record.boot_system_identifier)) +
                        ", expected \"EL TORITO SPECIFICATION\" padded with NUL bytes");
            return;
        }
        const std::uint64_t catalog = sector_position(record.catalog_sector);
        if (past_end(catalog + cat::kEntrySize)) {
            error(position, where(),
                  "boot catalog sector " + decimal(record.catalog_sector) + " starts at byte " +
                      decimal(catalog) + ", past " + image_end_text());
        }
    }

    // The set must end with a terminator; say where and why the walk ended
    // without one. Nothing is said when sector 16 held no descriptor at all:
    // that error says it already.
    void descriptor_set() {
        const std::size_t count = m_.volume_descriptors.size();
        if (m_.terminator_found || count == 0) {
            return;
        }
        const std::uint32_t sector = layout::kFirstDescriptorSector + static_cast<std::uint32_t>(count);
        const std::uint64_t position = sector_position(sector);
        std::string why;
        if (count >= kMostVolumeDescriptors) {
            why = "the walk stopped after " + decimal(count) + " descriptors";
        } else if (past_end(position + layout::kSector)) {
            why = "the image ends at byte " + decimal(end_) + ", before sector " + decimal(sector) + " ends";
        } else {
            why = "sector " + decimal(sector) + " is not a volume descriptor (no \"CD001\" at byte 1)";
        }
        error(position, "sector " + decimal(sector) + ", volume descriptor set",
              "no set terminator (type 255) after " + decimal(count) + " descriptors: " + why);
    }

    // ---- the boot catalog, entry by entry ----

    std::string entry_place(const BootCatalog& c, std::uint32_t index, const std::string& what) const {
        return "sector " + decimal(catalog_entry_sector(c, index)) + ", boot catalog entry " +
               decimal(index) + (what.empty() ? "" : " (" + what + ")");
    }
    static std::uint64_t entry_position(const BootCatalog& c, std::uint32_t index) {
        return sector_position(c.sector) + static_cast<std::uint64_t>(index) * cat::kEntrySize;
    }

    void catalog(const BootCatalog& c) {
        if (!c.validation_entry) {
            return;  // the boot record's error says the catalog lies past the end
        }
        validation_entry(c, *c.validation_entry);
        for (const BootEntry& entry : c.entries) {
            boot_entry(c, entry);
        }
        if (c.entries.empty() && c.end == CatalogEnd::end_of_image) {
            error(entry_position(c, 1), entry_place(c, 1, "initial/default entry"),
                  "the entry lies past " + image_end_text());
        }
        initial_entry_bootable(c);
        for (std::size_t i = 0; i < c.sections.size(); ++i) {
            section_header(c, c.sections[i], static_cast<std::uint32_t>(i + 1));
        }
        catalog_end(c);
    }

    void validation_entry(const BootCatalog& c, const ValidationEntry& v) {
        const std::uint64_t position = entry_position(c, 0);
        const auto where = [&] { return entry_place(c, 0, "validation entry"); };
        if (v.header_id != 1) {
            error(position, where(), "header id is " + hex(v.header_id, 2) + ", expected 0x01");
        }
        platform(position, where, v.platform_id);
        if (!v.key_valid()) {
            error(position, where(),
                  "key bytes are " + hex(v.key[0], 2).substr(2) + " " + hex(v.key[1], 2).substr(2) +
                      ", expected 55 AA");
        }
        if (!v.checksum_valid()) {
            error(position, where(), "checksum word sum is " + hex(v.word_sum, 4) + ", expected 0");
        }
    }

    template <typename Where>
    void platform(std::uint64_t position, const Where& where, std::uint8_t id) {
        if (id != 0x00 && id != 0x01 && id != 0x02 && id != 0xEF) {
            warning(position, where(),
                    "platform id is " + hex(id, 2) +
                        ", expected 0x00 (x86), 0x01 (PowerPC), 0x02 (Mac) or 0xEF (EFI)");
        }
    }

    static std::string entry_name(const BootEntry& e) {
        return e.section == 0 ? "initial/default entry"
                              : "section " + decimal(e.section) + ", entry " + decimal(e.number_in_section);
    }

    void boot_entry(const BootCatalog& c, const BootEntry& e) {
        const std::uint64_t position = entry_position(c, e.index);
        const auto where = [&] { return entry_place(c, e.index, entry_name(e)); };
        if (e.boot_indicator != cat::kBootable && e.boot_indicator != cat::kNotBootable) {
            warning(position, where(),
                    "boot indicator is " + hex(e.boot_indicator, 2) +
                        ", expected 0x88 (bootable) or 0x00 (not bootable)");
        }
        if (e.emulation() > 4) {
            warning(position, where(),
                    "media type " + hex(e.media_type, 2) + " names emulation " + decimal(e.emulation()) +
                        ", expected 0 (none) to 4 (hard disk) in its low four bits");
        }
        if (e.extension_missing) {
            warning(position, where(),
                    "media type " + hex(e.media_type, 2) + " says an extension entry follows, but entry " +
                        decimal(e.index + 1 + e.extensions) + " is not one (0x44)");
        }
        if (e.emulation() == 0 && e.sector_count == 0 && !too_big_for_a_count(e)) {
            warning(position, where(), "no-emulation entry has a sector count of 0, expected 1 or more");
        }
        load(position, where, e);
        boot_image(c, e);
    }

    // A FAT file system (an EFI system partition image) of more than 65535
    // sectors of 512 bytes: the 16-bit sector count cannot say its size, and
    // xorriso writes 0 for it then, leaving the size to the file system.
    static bool too_big_for_a_count(const BootEntry& e) {
        return e.start && e.start->fat_size > 0xFFFFu * std::uint64_t{512};
    }

    // What the entry makes firmware load: its length in bytes, and how.
    static std::uint64_t load_bytes(const BootEntry& e) {
        const std::uint64_t sector = 512;
        switch (e.emulation()) {
            case 1: return layout::kFloppySectors12 * sector;
            case 2: return layout::kFloppySectors144 * sector;
            case 3: return layout::kFloppySectors288 * sector;
            case 4:
                return e.start && e.start->mbr_signature
                           ? std::max<std::uint64_t>(e.start->mbr_disk_end, sector)
                           : sector;
            default: return std::max<std::uint64_t>(e.sector_count, 1) * sector;
        }
    }
    static std::string load_text(const BootEntry& e) {
        switch (e.emulation()) {
            case 1: return "1.2M floppy emulation loads the whole disk";
            case 2: return "1.44M floppy emulation loads the whole disk";
            case 3: return "2.88M floppy emulation loads the whole disk";
            case 4: return "hard-disk emulation loads the disk its MBR describes";
            default:
                return "sector count " + decimal(e.sector_count) + " loads " +
                       decimal(std::max<std::uint64_t>(e.sector_count, 1)) + " sectors of 512 bytes";
        }
    }

    template <typename Where>
    void load(std::uint64_t position, const Where& where, const BootEntry& e) {
        const std::uint64_t start = sector_position(e.load_sector);
        if (past_end(start + 1)) {
            error(position, where(),
                  "load sector " + decimal(e.load_sector) + " starts at byte " + decimal(start) +
                      ", past " + image_end_text());
            return;
        }
        const std::uint64_t bytes = load_bytes(e);
        if (past_end(start + bytes)) {
            error(position, where(),
                  load_text(e) + ", " + decimal(bytes) + " bytes from byte " + decimal(start) +
                      " to byte " + decimal(start + bytes) + ", past " + image_end_text());
        }
    }

    // What the boot image itself holds. An image several entries load is
    // judged once, for the first of them.
    void boot_image(const BootCatalog& c, const BootEntry& e) {
        for (const BootEntry& other : c.entries) {
            if (&other == &e) {
                break;
            }
            if (other.load_sector == e.load_sector) {
                return;
            }
        }
        const std::uint64_t position = sector_position(e.load_sector);
        const auto where = [&] { return "boot image at sector " + decimal(e.load_sector); };
        if (e.emulation() == 4 && e.start && !e.start->mbr_signature) {
            error(position, where(),
                  "hard-disk emulation image has no MBR signature at its byte 510, expected 55 AA");
        }
        if (e.boot_info_table) {
            boot_info_table(position, where, *e.boot_info_table);
        }
    }

    template <typename Where>
    void boot_info_table(std::uint64_t position, const Where& where, const BootInfoTable& t) {
        // A later session of a multisession image names its own descriptor,
        // of which sector 16 holds a copy: any primary volume descriptor will do.
        if (m_.primary_volume && !t.pvd_sector_holds_primary) {
            error(position, where(),
                  "boot information table names sector " + decimal(t.pvd_sector) +
                      " as the primary volume descriptor's, but none stands there; expected " +
                      decimal(m_.primary_volume->sector));
        }
        const std::uint64_t file_end = sector_position(t.file_sector) + t.length;
        if (past_end(file_end)) {
            error(position, where(),
                  "boot information table length " + decimal(t.length) + " runs to byte " +
                      decimal(file_end) + ", past " + image_end_text());
        } else if (t.computed && *t.computed != t.checksum) {
            error(position, where(),
                  "boot information table checksum is " + hex(t.checksum, 8) +
                      ", recomputed over the boot file " + hex(*t.computed, 8));
        }
    }

    // Firmware boots the initial/default entry unless a section offers
    // another: one of them should be bootable.
    void initial_entry_bootable(const BootCatalog& c) {
        if (c.entries.empty() || c.entries.front().section != 0 || c.entries.front().bootable()) {
            return;
        }
        for (const BootEntry& e : c.entries) {
            if (e.bootable()) {
                return;
            }
        }
        const BootEntry& initial = c.entries.front();
        warning(entry_position(c, initial.index), entry_place(c, initial.index, entry_name(initial)),
                "the entry is not bootable (boot indicator " + hex(initial.boot_indicator, 2) +
                    ") and no bootable section entry follows it");
    }

    void section_header(const BootCatalog& c, const SectionHeader& s, std::uint32_t number) {
        const std::uint64_t position = entry_position(c, s.index);
        const auto where = [&] { return entry_place(c, s.index, "section header " + decimal(number)); };
        if (s.header_indicator != cat::kMoreHeaders && s.header_indicator != cat::kFinalHeader) {
            warning(position, where(),
                    "header indicator is " + hex(s.header_indicator, 2) +
                        ", expected 0x90 (more headers follow) or 0x91 (final header)");
        }
        platform(position, where, s.platform_id);
        // A walk that stopped inside this section at an odd entry has said so.
        const bool stopped_inside = number == c.sections.size() &&
                                    c.end == CatalogEnd::unexpected_entry && !c.end_where_header_due;
        if (s.entries_found < s.entry_count && !stopped_inside) {
            error(position, where(),
                  "the section declares " + decimal(s.entry_count) + " entries, but " +
                      decimal(s.entries_found) + (s.entries_found == 1 ? " stands" : " stand") +
                      " before the next header or the end of the catalog");
        }
    }

    // How the walk ended, where that says something is wrong.
    void catalog_end(const BootCatalog& c) {
        if (c.end == CatalogEnd::unexpected_entry) {
            unexpected_entry(c);
            if (c.end_where_header_due) {
                return;  // that says the catalog ends without a final header
            }
        }
        if (c.end == CatalogEnd::entry_bound) {
            error(entry_position(c, c.end_index), entry_place(c, c.end_index, ""),
                  "the catalog walk stopped at its bound of " + decimal(kMostCatalogEntries) +
                      " entries (64 KiB) before the catalog ended");
            return;
        }
        if (c.sections.empty() || c.final_header_seen) {
            return;  // a catalog of the initial/default entry alone needs no header
        }
        std::string what;
        switch (c.end) {
            case CatalogEnd::end_of_image: what = "the image ends at entry " + decimal(c.end_index); break;
            case CatalogEnd::unexpected_entry:
                what = "entry " + decimal(c.end_index) + " is not a section header";
                break;
            default: what = "entry " + decimal(c.end_index) + " is empty"; break;
        }
        const SectionHeader& last = c.sections.back();
        warning(entry_position(c, last.index),
                entry_place(c, last.index, "section header " + decimal(c.sections.size())),
                "the catalog ends without a final section header (0x91): " + what);
    }

    // The walk stops, as strict firmware does, at an entry whose first byte
    // is neither a header nor the entry that was due; what follows is lost.
    void unexpected_entry(const BootCatalog& c) {
        const std::uint32_t index = c.end_index;
        if (c.end_where_header_due) {
            warning(entry_position(c, index), entry_place(c, index, "where a section header is due"),
                    "header indicator is " + hex(c.end_byte, 2) +
                        ", expected 0x90 (more headers follow) or 0x91 (final header); the catalog "
                        "walk stops here");
        } else {
            warning(entry_position(c, index), entry_place(c, index, "where a section entry is due"),
                    "boot indicator is " + hex(c.end_byte, 2) +
                        ", expected 0x88 (bootable) or 0x00 (not bootable); the catalog walk stops "
                        "here");
        }
    }

    const ImageModel& m_;
    const std::uint64_t end_;
    std::vector<Placed> found_;
};

}  // namespace

void judge(ImageModel& model) { model.findings = Judge(model).run(); }

std::string finding_line(const std::string& path, const Finding& finding) {
    return path + (finding.severity == Severity::error ? ": error: " : ": warning: ") +
           finding.where + ": " + finding.message;
}
