#include "directory.hpp"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "layout.hpp"

namespace {

namespace dir = layout::directory;
namespace su = layout::system_use;

// Bounds of the walk, whatever the image claims: directories nested up to
// this deep below the root (ISO 9660 itself allows the root and 7 levels),
// this many directory records in all, and this many directory sectors read
// (64 MiB; a directory's length of 4 GiB must not be read through).
constexpr unsigned kMostDepth = 8;
constexpr std::size_t kMostRecords = 65536;
constexpr std::size_t kMostDirectorySectors = 32768;

// A file the walk looks for: the one whose first extent starts at `sector`.
// A file of no bytes may share its sector with another (mastering tools
// point empty files anywhere), so only a file with bytes settles the name.
struct Wanted {
    std::uint32_t sector;
    std::optional<std::string>* name;
    std::uint64_t* size;  // null for the catalog
    bool settled;
};

// A file as its records describe it: the first extent, and the bytes of all
// its extents (a file of several extents has one record for each, in a row,
// all but the last flagged).
struct FileRecord {
    std::uint32_t first_extent;
    std::uint64_t size;
    std::string name;
    bool open;
};

struct Walk {
    ImageSource& source;
    ImageModel& model;
    std::vector<Wanted> wanted;       // in order of their sectors
    std::size_t unsettled;
    std::set<std::uint32_t> visited;  // directory extents walked already
    std::size_t records;
    std::size_t sectors;
    bool stopped;
};

// Reads one directory sector; returns how many of its bytes the image holds
// (fewer where it ends or a read fails; the first failure is kept in the
// model, as for every read of it).
std::size_t read_sector(Walk& w, std::uint64_t sector, unsigned char* bytes) {
    const std::uint64_t position = sector * layout::kSector;
    const ReadResult result = image_read(w.source, position, bytes, layout::kSector);
    if (result.failed && !w.model.read_failed) {
        w.model.read_failed = true;
        w.model.read_error_position = position + result.delivered;
        w.model.read_error_reason = result.reason.text;
    }
    return result.delivered;
}

// The Rock Ridge name in the record's system use area, when the record holds
// all of it (a name continued in another sector is not followed).
bool rock_ridge_name(const unsigned char* record, std::size_t length, std::size_t name_length,
                     std::string* name) {
    std::size_t at = dir::kName + name_length + (name_length % 2 == 0 ? 1 : 0);
    std::string parts;
    while (at + su::kHeaderSize <= length) {
        const unsigned char* entry = record + at;
        const std::size_t entry_length = entry[su::kLength];
        if (entry_length < su::kHeaderSize || at + entry_length > length) {
            return false;
        }
        if (entry[su::kSignature] == 'N' && entry[su::kSignature + 1] == 'M' &&
            entry_length > su::kNameFlags) {
            const std::uint8_t flags = entry[su::kNameFlags];
            if ((flags & (su::kNameCurrent | su::kNameParent)) != 0) {
                return false;
            }
            parts.append(reinterpret_cast<const char*>(entry) + su::kNameStart,
                         entry_length - su::kNameStart);
            if ((flags & su::kNameContinues) == 0) {
                *name = parts;
                return !parts.empty();
            }
        }
        at += entry_length;
    }
    return false;
}

// The name people see: the Rock Ridge name, or the ISO 9660 identifier
// without its ";1" version (and the "." of a file with no extension).
std::string record_name(const unsigned char* record, std::size_t length, std::size_t name_length,
                        bool directory) {
    std::string name;
    if (rock_ridge_name(record, length, name_length, &name)) {
        return name;
    }
    name.assign(reinterpret_cast<const char*>(record) + dir::kName, name_length);
    const std::size_t version = name.rfind(';');
    if (!directory && version != std::string::npos) {
        name.erase(version);
        if (!name.empty() && name.back() == '.') {
            name.pop_back();
        }
    }
    return name;
}

// A whole file has been seen: it names every wanted file at its extent.
void finish_file(Walk& w, FileRecord& file, const std::string& path) {
    if (!file.open) {
        return;
    }
    file.open = false;
    // Only the wanted files at this sector: a catalog may name thousands.
    const auto at_sector = std::equal_range(
        w.wanted.begin(), w.wanted.end(), Wanted{file.first_extent, nullptr, nullptr, false},
        [](const Wanted& a, const Wanted& b) { return a.sector < b.sector; });
    for (auto wanted = at_sector.first; wanted != at_sector.second; ++wanted) {
        if (wanted->settled || (wanted->name->has_value() && file.size == 0)) {
            continue;
        }
        *wanted->name = path + file.name;
        if (wanted->size != nullptr) {
            *wanted->size = file.size;
        }
        if (file.size > 0) {
            wanted->settled = true;
            --w.unsettled;
        }
    }
    w.stopped = w.stopped || w.unsettled == 0;
}

void walk_directory(Walk& w, std::uint32_t extent, std::uint32_t length, const std::string& path,
                    unsigned depth);

// One directory record: a subdirectory is walked (once, within the depth),
// a file's extent is added to the file being assembled.
void take_record(Walk& w, const unsigned char* r, std::size_t length, const std::string& path,
                 unsigned depth, FileRecord& file) {
    const std::size_t name_length = r[dir::kNameLength];
    if (name_length == 0 || dir::kName + name_length > length) {
        return;  // a bad record: skipped
    }
    if (name_length == 1 && (r[dir::kName] == dir::kSelfName || r[dir::kName] == dir::kParentName)) {
        return;
    }
    const std::uint8_t flags = r[dir::kFlags];
    const std::uint32_t extent = le32_at(r, dir::kExtentSector);
    const std::uint32_t size = le32_at(r, dir::kDataLength);
    const bool directory = (flags & dir::kIsDirectory) != 0;
    const std::string name = record_name(r, length, name_length, directory);
    if (directory) {
        finish_file(w, file, path);
        if (depth < kMostDepth && !w.stopped && w.visited.insert(extent).second) {
            walk_directory(w, extent, size, path + name + "/", depth + 1);
        }
        return;
    }
    if (file.open && file.name == name) {
        file.size += size;  // the next extent of a file of several
    } else {
        finish_file(w, file, path);
        file = FileRecord{extent, size, name, true};
    }
    if ((flags & dir::kMultiExtent) == 0) {
        finish_file(w, file, path);
    }
}

// The records of one sector, of which the image holds `available` bytes:
// they never cross into the next sector, and a zero length byte ends them.
// A length too small for a record, or running past the bytes there are,
// ends the sector too.
void walk_sector(Walk& w, const unsigned char* sector, std::size_t available,
                 const std::string& path, unsigned depth, FileRecord& file) {
    std::size_t offset = 0;
    while (offset + dir::kMinimumRecord <= available && !w.stopped) {
        const std::size_t length = sector[offset + dir::kLength];
        if (length < dir::kMinimumRecord || offset + length > available) {
            return;
        }
        if (w.records == kMostRecords) {
            w.stopped = true;
            return;
        }
        ++w.records;
        take_record(w, sector + offset, length, path, depth, file);
        offset += length;
    }
}

void walk_directory(Walk& w, std::uint32_t extent, std::uint32_t length, const std::string& path,
                    unsigned depth) {
    unsigned char sector[layout::kSector];
    FileRecord file{0, 0, std::string(), false};
    const std::uint64_t sectors = (static_cast<std::uint64_t>(length) + layout::kSector - 1) / layout::kSector;
    for (std::uint64_t i = 0; i < sectors && !w.stopped; ++i) {
        if (w.sectors == kMostDirectorySectors) {
            w.stopped = true;
            break;
        }
        ++w.sectors;
        const std::size_t available = read_sector(w, extent + i, sector);
        walk_sector(w, sector, available, path, depth, file);
        if (available < layout::kSector) {
            break;  // the image ends here
        }
    }
    finish_file(w, file, path);
}

}  // namespace

void name_files(ImageSource& source, ImageModel& model) {
    if (!model.primary_volume || !model.boot_catalog) {
        return;
    }
    BootCatalog& catalog = *model.boot_catalog;
    Walk w{source, model, {}, 0, {}, 0, 0, false};
    w.wanted.push_back(Wanted{catalog.sector, &catalog.file, nullptr, false});
    for (BootEntry& entry : catalog.entries) {
        w.wanted.push_back(Wanted{entry.load_sector, &entry.file, &entry.file_size, false});
    }
    std::stable_sort(w.wanted.begin(), w.wanted.end(),
                     [](const Wanted& a, const Wanted& b) { return a.sector < b.sector; });
    w.unsettled = w.wanted.size();
    const std::uint32_t root = model.primary_volume->root_directory_sector;
    w.visited.insert(root);
    walk_directory(w, root, model.primary_volume->root_directory_length, "/", 0);
}
