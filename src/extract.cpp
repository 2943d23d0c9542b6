#include "extract.hpp"

#include <memory>
#include <vector>

#include "model.hpp"
#include "modes.hpp"
#include "read.hpp"
#include "report.hpp"

namespace {

// Entry numbers above this are no entry of any catalog (it holds 2048 at most).
constexpr std::uint64_t kLargestEntryNumber = 1000000;

// N as written: decimal digits only, no sign. Numbers too large for any
// catalog are kept as one that no catalog holds.
bool entry_number(const std::string& text, std::uint64_t* number) {
    if (text.empty()) {
        return false;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > kLargestEntryNumber) {
            value = kLargestEntryNumber + 1;
        }
    }
    *number = value;
    return true;
}

// How big the boot image is, in the order of trust; returns what the size
// came from, as the message says it.
std::string image_size(const BootEntry& entry, std::uint64_t* size) {
    namespace l = layout;
    if (entry.file && entry.file_size > 0) {
        *size = entry.file_size;
        return "size from the file " + *entry.file;
    }
    if (entry.boot_info_table && entry.boot_info_table->length > 0) {
        *size = entry.boot_info_table->length;
        return "size from its boot information table";
    }
    switch (entry.emulation()) {
        case 1: *size = l::kFloppySectors12 * 512ull; return "size of the 1.2 MB floppy it emulates";
        case 2: *size = l::kFloppySectors144 * 512ull; return "size of the 1.44 MB floppy it emulates";
        case 3: *size = l::kFloppySectors288 * 512ull; return "size of the 2.88 MB floppy it emulates";
        default: break;
    }
    if (entry.emulation() == 4 && entry.start && entry.start->mbr_disk_end > 0) {
        *size = entry.start->mbr_disk_end;
        return "size of the disk its MBR describes";
    }
    if (entry.emulation() == 0 && entry.start && entry.start->fat_size > 0) {
        *size = entry.start->fat_size;
        return "size of the FAT file system it holds";
    }
    *size = entry.sector_count > 0 ? entry.sector_count * 512ull : 512;
    return "size from its sector count";
}

// Passes bytes on to standard output (or the test's string) as they come:
// the image may be far larger than any buffer.
bool write_out(Output& out, const unsigned char* bytes, std::size_t count) {
    if (out.capture != nullptr) {
        out.capture->append(reinterpret_cast<const char*>(bytes), count);
    } else if (!platform::write_all(platform::Stream::standard_output,
                                    reinterpret_cast<const char*>(bytes), count, &out.reason)) {
        out.failed = true;
    }
    return !out.failed;
}

struct Copied {
    std::uint64_t bytes;
    ReadResult last;  // the read that ended the copy early, if any
};

// Copies `size` bytes from `position` in fixed-size chunks, never past the
// end of the image: a claim of gigabytes costs no more memory than a chunk.
Copied copy_out(ImageSource& source, std::uint64_t position, std::uint64_t size, Output& out) {
    constexpr std::size_t kChunk = 1 << 20;
    std::vector<unsigned char> chunk(kChunk);
    Copied copied{0, ReadResult{0, false, {}}};
    while (copied.bytes < size) {
        const std::uint64_t left = size - copied.bytes;
        const std::size_t count = left < kChunk ? static_cast<std::size_t>(left) : kChunk;
        const ReadResult result = image_read(source, position + copied.bytes, chunk.data(), count);
        if (result.delivered > 0 && !write_out(out, chunk.data(), result.delivered)) {
            break;
        }
        copied.bytes += result.delivered;
        if (result.delivered < count) {
            copied.last = result;
            break;
        }
    }
    return copied;
}

int no_such_entry(Diagnostics& diag, const std::string& path, const std::string& number,
                  const ImageModel& model) {
    const std::string why = model.boot_catalog
        ? "the boot catalog holds " + std::to_string(model.boot_catalog->entries.size())
        : std::string("the image has no El Torito boot catalog");
    diagnostic(diag, "tolvane: " + path + ": no boot entry " + number + ": " + why);
    return kFailure;
}

// Writes the entry's image and says what happened; the exit status.
int write_boot_image(ImageSource& source, const ImageModel& model, const BootEntry& entry,
                     std::uint64_t number, Output& out, Diagnostics& diag) {
    std::uint64_t size = 0;
    const std::string source_of_size = image_size(entry, &size);
    const std::uint64_t position = static_cast<std::uint64_t>(entry.load_sector) * layout::kSector;
    diagnostic(diag, "tolvane: boot image " + std::to_string(number) + ": " + std::to_string(size) +
                         " bytes at sector " + std::to_string(entry.load_sector) + ", " +
                         source_of_size);
    const Copied copied = copy_out(source, position, size, out);
    if (out.failed) {
        return refused_output(out, diag);
    }
    if (copied.last.failed) {
        diagnostic(diag, read_error_line(model.path.c_str(), position + copied.bytes,
                                         copied.last.reason.text));
        return kFailure;
    }
    if (copied.bytes < size) {
        diagnostic(diag, "tolvane: " + model.path + ": the image ends inside boot image " +
                             std::to_string(number) + ": " + std::to_string(copied.bytes) +
                             " bytes written, " + std::to_string(size - copied.bytes) +
                             " missing");
        return kFailure;
    }
    return kSuccess;
}

}  // namespace

int boot_image_mode(const std::string& number_text, const std::string& path, Output& out,
                    Diagnostics& diag) {
    std::uint64_t number = 0;
    if (!entry_number(number_text, &number)) {
        diagnostic(diag, "tolvane: --boot-image: '" + number_text +
                             "' is not a boot entry number (1 for the first entry)");
        diagnostic(diag, "Try 'tolvane --help' for more information.");
        return kUsage;
    }
    // A terminal would take the image's bytes as text and control sequences.
    if (out.capture == nullptr && platform::is_terminal(platform::Stream::standard_output)) {
        diagnostic(diag, "tolvane: --boot-image writes binary data; standard output is a terminal: "
                         "redirect it to a file or a pipe");
        return kUsage;
    }
    // The source holds the read cache, the model every entry: both on the heap.
    const std::unique_ptr<ImageSource> source(new ImageSource);
    platform::ErrorText reason;
    if (!open_image_source(*source, path.c_str(), &reason)) {
        diagnostic(diag, "tolvane: " + path + ": " + reason.text);
        return kFailure;
    }
    const std::unique_ptr<ImageModel> model(new ImageModel);
    read_model(*source, path.c_str(), ModelOptions{true}, *model);
    int status = kFailure;
    if (model->read_failed) {
        diagnostic(diag, read_error_line(path.c_str(), model->read_error_position,
                                         model->read_error_reason.c_str()));
    } else if (!model->boot_catalog || number == 0 ||
               number > model->boot_catalog->entries.size()) {
        status = no_such_entry(diag, path, number_text, *model);
    } else {
        status = write_boot_image(*source, *model, model->boot_catalog->entries[number - 1],
                                  number, out, diag);
    }
    close_image_source(*source);
    return status;
}
