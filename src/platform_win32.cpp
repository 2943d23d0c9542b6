// The platform layer on Win32. The tool holds paths and messages as UTF-8;
// here they become UTF-16 for the system: images are opened with CreateFileW
// (a path too long for MAX_PATH in its \\?\ form) and read with ReadFile at
// an explicit position; standard output and standard error are written with
// WriteFile, which never translates bytes, so a report's CR LF line ends
// arrive exactly once, or with WriteConsoleW when they are a console.
// Raw drives and volumes (\\.\D:, \\.\CdRom0, \\.\PhysicalDrive1) are asked
// for their sector size and length with the disk and storage IOCTLs.
#include "platform.hpp"
#include "utf8.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>

#include <fcntl.h>
#include <io.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace platform {
namespace {

// ---- UTF-8 and UTF-16 -------------------------------------------------------
// Windows file names are sequences of 16-bit units that need not be valid
// UTF-16: a surrogate may stand alone. Such a unit is carried in UTF-8 in the
// three-byte form any other unit of its value would take (ED A0 80 to
// ED BF BF), so that a name read from the command line comes back unchanged
// when it is turned into UTF-16 again to open the file. On a terminal those
// bytes are not valid UTF-8 and are shown as '?'.

void append_utf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

bool high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

std::string utf8_from_utf16(const wchar_t* text, std::size_t count) {
    std::string out;
    out.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        const char32_t unit = static_cast<char16_t>(text[i]);
        if (high_surrogate(unit) && i + 1 < count &&
            low_surrogate(static_cast<char16_t>(text[i + 1]))) {
            const char32_t low = static_cast<char16_t>(text[i + 1]);
            append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            ++i;
        } else {
            append_utf8(out, unit);  // a lone surrogate keeps its value
        }
    }
    return out;
}

// UTF-8 to UTF-16; a byte that starts no UTF-8 sequence becomes U+FFFD.
std::wstring utf16_from_utf8(const char* text, std::size_t count) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    std::wstring out;
    out.reserve(count);
    std::size_t i = 0;
    while (i < count) {
        char32_t code = 0;
        std::size_t length = utf8_sequence(bytes + i, count - i, &code, Surrogates::allowed);
        if (length == 0) {
            code = 0xFFFD;
            length = 1;
        }
        if (code >= 0x10000) {
            out.push_back(static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(code));
        }
        i += length;
    }
    return out;
}

// ---- Paths ------------------------------------------------------------------

bool starts_with(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// \\.\ (devices) and \\?\ (paths passed on unparsed): the name is left alone.
bool device_namespace(const std::wstring& path) {
    return starts_with(path, L"\\\\.\\") || starts_with(path, L"\\\\?\\");
}

// A name in the device namespace with one component after the prefix names
// a device itself (\\.\D:, \\.\CdRom0, \\.\PhysicalDrive1, \\?\Volume{...});
// \\.\D:\image.iso is a file on it.
bool names_device(const std::wstring& path) {
    if (!device_namespace(path) || path.size() <= 4) {
        return false;
    }
    return path.find_first_of(L"\\/", 4) == std::wstring::npos;
}

// The full path that `path` names, from the current directory, or an empty
// string when the system cannot make one.
std::wstring full_path(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return std::wstring();
    }
    std::vector<wchar_t> buffer(needed + 1);
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()),
                                          buffer.data(), nullptr);
    if (length == 0 || length >= buffer.size()) {
        return std::wstring();
    }
    return std::wstring(buffer.data(), length);
}

// The name to give CreateFileW for the UTF-8 `path`: the path as typed while
// its full form fits in MAX_PATH, which every Windows opens, and otherwise
// the full path with the \\?\ prefix (\\?\UNC\ for \\server\share), which
// has no such limit and needs no setting in the registry, as long-path
// awareness would. The full path is made by the system (GetFullPathNameW), so
// "..", "." and "/" mean what they mean everywhere else on Windows.
std::wstring system_path(const char* path) {
    const std::wstring wide = utf16_from_utf8(path, std::strlen(path));
    if (wide.empty() || device_namespace(wide)) {
        return wide;
    }
    const std::wstring full = full_path(wide);
    if (full.size() < MAX_PATH || device_namespace(full)) {
        return wide;
    }
    if (starts_with(full, L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') {
        return L"\\\\?\\" + full;
    }
    return wide;
}

// ---- Error texts ------------------------------------------------------------

void set_reason(ErrorText* reason, const char* text) {
    if (reason == nullptr) {
        return;
    }
    std::size_t length = std::strlen(text);
    if (length >= sizeof reason->text) {
        length = sizeof reason->text - 1;
        // Never end inside a UTF-8 sequence.
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    std::memcpy(reason->text, text, length);
    reason->text[length] = '\0';
}

// Fetches the system's text for a Win32 error code, in US English when the
// system has it.
DWORD system_message(DWORD code, DWORD language, wchar_t* buffer, DWORD size) {
    return FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                          code, language, buffer, size, nullptr);
}

// The reason for a Win32 error code as one line of UTF-8 without a closing
// full stop: "The system cannot find the file specified".
void set_system_reason(ErrorText* reason, DWORD code) {
    if (reason == nullptr) {
        return;
    }
    wchar_t message[512];
    DWORD length = system_message(code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), message,
                                  sizeof message / sizeof message[0]);
    if (length == 0) {
        length = system_message(code, 0, message, sizeof message / sizeof message[0]);
    }
    if (length == 0) {
        char fallback[48];
        std::snprintf(fallback, sizeof fallback, "Windows error %lu",
                      static_cast<unsigned long>(code));
        set_reason(reason, fallback);
        return;
    }
    // Some messages span lines; the reason has to fit on one.
    for (DWORD i = 0; i < length; ++i) {
        if (message[i] == L'\r' || message[i] == L'\n' || message[i] == L'\t') {
            message[i] = L' ';
        }
    }
    while (length > 0 && (message[length - 1] == L' ' || message[length - 1] == L'.')) {
        --length;
    }
    set_reason(reason, utf8_from_utf16(message, length).c_str());
}

// ---- Devices ----------------------------------------------------------------
// The answers of the disk and CD-ROM drivers, as the calls fill them in.

// IOCTL_CDROM_GET_DRIVE_GEOMETRY_EX: the CD-ROM driver's own geometry call,
// answered with a DISK_GEOMETRY_EX like the disk call.
constexpr DWORD kCdromGetDriveGeometryEx =
    CTL_CODE(FILE_DEVICE_CD_ROM, 0x0014, METHOD_BUFFERED, FILE_READ_ACCESS);

bool io_control(HANDLE handle, DWORD code, const void* in, DWORD in_size, void* out,
                DWORD out_size, DWORD* returned) {
    *returned = 0;
    return DeviceIoControl(handle, code, const_cast<void*>(in), in_size, out, out_size,
                           returned, nullptr) != 0;
}

// A sector size a device may really have: a power of two from 512 to 64 KiB.
bool plausible_sector(DWORD size) {
    return size >= 512 && size <= 65536 && (size & (size - 1)) == 0;
}

// The sector size and length the drive or volume reports.
struct DeviceFacts {
    bool answered;        // some call answered: it is a device
    bool size_known;
    std::uint64_t size;
    std::uint32_t sector;
};

// The geometry calls: a disk's or volume's, then a CD-ROM drive's. Their size
// is the whole disk's, so a volume's own length (below) comes first.
void ask_geometry(HANDLE handle, DeviceFacts& facts, std::uint64_t* disk_size) {
    DISK_GEOMETRY_EX geometry{};
    DWORD returned = 0;
    const DWORD needed = offsetof(DISK_GEOMETRY_EX, DiskSize) + sizeof geometry.DiskSize;
    for (DWORD code : {static_cast<DWORD>(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX),
                       kCdromGetDriveGeometryEx}) {
        if (io_control(handle, code, nullptr, 0, &geometry, sizeof geometry, &returned) &&
            returned >= needed) {
            facts.answered = true;
            if (plausible_sector(geometry.Geometry.BytesPerSector)) {
                facts.sector = geometry.Geometry.BytesPerSector;
            }
            if (geometry.DiskSize.QuadPart > 0) {
                *disk_size = static_cast<std::uint64_t>(geometry.DiskSize.QuadPart);
            }
            return;
        }
    }
}

void ask_alignment(HANDLE handle, DeviceFacts& facts) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageAccessAlignmentProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR alignment{};
    DWORD returned = 0;
    const DWORD needed = offsetof(STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR, BytesPerLogicalSector) +
                         sizeof alignment.BytesPerLogicalSector;
    if (io_control(handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &alignment,
                   sizeof alignment, &returned) &&
        returned >= needed && plausible_sector(alignment.BytesPerLogicalSector)) {
        facts.answered = true;
        facts.sector = alignment.BytesPerLogicalSector;
    }
}

DeviceFacts ask_device(HANDLE handle) {
    DeviceFacts facts{false, false, 0, 0};
    std::uint64_t disk_size = 0;
    ask_geometry(handle, facts, &disk_size);
    if (facts.sector == 0) {
        ask_alignment(handle, facts);
    }
    GET_LENGTH_INFORMATION length{};
    DWORD returned = 0;
    if (io_control(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                   &returned) &&
        returned >= sizeof length && length.Length.QuadPart >= 0) {
        facts.answered = true;
        facts.size_known = true;
        facts.size = static_cast<std::uint64_t>(length.Length.QuadPart);
    } else if (disk_size > 0) {
        facts.size_known = true;
        facts.size = disk_size;
    }
    if (facts.sector == 0) {
        // Unknown: the smallest there is. Reads still come in the image
        // layer's aligned 32 KiB blocks, a multiple of every sector size.
        facts.sector = 512;
    }
    // A device holds whole sectors only.
    facts.size -= facts.size % facts.sector;
    return facts;
}

// The errors a drive gives for a read at or past its last sector.
bool end_of_medium(DWORD code) {
    return code == ERROR_HANDLE_EOF || code == ERROR_SECTOR_NOT_FOUND;
}

// ---- Standard streams -------------------------------------------------------

HANDLE standard_handle(Stream stream) {
    return GetStdHandle(stream == Stream::standard_output ? STD_OUTPUT_HANDLE
                                                          : STD_ERROR_HANDLE);
}

bool is_console(HANDLE handle) {
    DWORD mode = 0;
    return GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode) != 0;
}

// Largest single ReadFile/WriteFile request; both take a 32-bit count.
constexpr std::size_t max_transfer = 1u << 30;
// Largest single WriteConsoleW request, in UTF-16 units: older consoles
// refuse very large ones.
constexpr std::size_t max_console_transfer = 8192;

// Whether a WriteFile or WriteConsoleW call moved bytes on; when not, the
// reason: the system's, or a write fault for a call that wrote nothing.
bool wrote_some(BOOL ok, DWORD written, ErrorText* reason) {
    if (!ok) {
        set_system_reason(reason, GetLastError());
        return false;
    }
    if (written == 0) {
        set_system_reason(reason, ERROR_WRITE_FAULT);
        return false;
    }
    return true;
}

// Writes UTF-8 text to a console as UTF-16. A sequence cut at the end of
// `bytes` (a line longer than the output buffer) shows as U+FFFD.
bool write_console(HANDLE handle, const char* bytes, std::size_t count, ErrorText* reason) {
    const std::wstring text = utf16_from_utf8(bytes, count);
    std::size_t done = 0;
    while (done < text.size()) {
        std::size_t chunk = text.size() - done;
        if (chunk > max_console_transfer) {
            chunk = max_console_transfer;
            if (high_surrogate(static_cast<char16_t>(text[done + chunk - 1]))) {
                --chunk;  // keep a surrogate pair in one call
            }
        }
        DWORD written = 0;
        const BOOL ok = WriteConsoleW(handle, text.data() + done, static_cast<DWORD>(chunk),
                                      &written, nullptr);
        if (!wrote_some(ok, written, reason)) {
            return false;
        }
        done += written;
    }
    return true;
}

bool write_bytes(HANDLE handle, const char* bytes, std::size_t count, ErrorText* reason) {
    std::size_t done = 0;
    while (done < count) {
        std::size_t chunk = count - done;
        if (chunk > max_transfer) {
            chunk = max_transfer;
        }
        DWORD written = 0;
        const BOOL ok = WriteFile(handle, bytes + done, static_cast<DWORD>(chunk), &written, nullptr);
        if (!wrote_some(ok, written, reason)) {
            return false;
        }
        done += written;
    }
    return true;
}

// Puts one of the C runtime's standard streams in binary mode. A process
// started without that stream has no descriptor open for it, and _setmode
// on such a descriptor goes to the runtime's invalid-parameter handler,
// which may end the process; the stream is then left alone, as nothing
// could be written to it anyway.
void binary_mode(std::FILE* stream, Stream which) {
    const HANDLE handle = standard_handle(which);
    const int descriptor = _fileno(stream);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && descriptor >= 0) {
        _setmode(descriptor, _O_BINARY);
    }
}

}  // namespace

FileHandle open_read_only(const char* path, ErrorText* reason) {
    FileHandle file{};
    file.handle = INVALID_HANDLE_VALUE;
    file.valid = false;

    const std::wstring name = system_path(path);
    HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened,
        // and Windows calls that "Access is denied"; name the real cause.
        const DWORD attributes = GetFileAttributesW(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            set_reason(reason, "Is a directory");
        } else {
            set_system_reason(reason, code);
        }
        return file;
    }

    // Disk files and disk volumes are FILE_TYPE_DISK; consoles, the NUL
    // device, printers and pipes are not images.
    SetLastError(NO_ERROR);
    const DWORD type = GetFileType(handle);
    if (type != FILE_TYPE_DISK) {
        const DWORD code = GetLastError();
        if (type == FILE_TYPE_UNKNOWN && code != NO_ERROR) {
            set_system_reason(reason, code);
        } else {
            set_reason(reason, "Not a regular file or block device");
        }
        CloseHandle(handle);
        return file;
    }

    // A drive or volume is one by its name; a file is one that has a size.
    // A device under another name (\\?\GLOBALROOT\Device\...) has none, and
    // is known by answering the device calls.
    LARGE_INTEGER size;
    const bool has_file_size = !names_device(name) && GetFileSizeEx(handle, &size);
    if (!has_file_size) {
        const DeviceFacts facts = ask_device(handle);
        file.device = names_device(name) || facts.answered;
        file.device_size_known = facts.size_known;
        file.device_size = facts.size;
        file.device_sector = facts.sector;
        if (file.device) {
            // A volume with a file system on it ends, for reads, where the
            // file system says it does; let them reach the volume's end.
            DWORD returned = 0;
            io_control(handle, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, &returned);
        }
    }
    file.handle = handle;
    file.valid = true;
    return file;
}

std::size_t read_at_position(FileHandle file, std::uint64_t position, unsigned char* buffer,
                             std::size_t count, bool* failed, ErrorText* reason) {
    *failed = false;
    if (!file.valid) {
        *failed = true;
        set_system_reason(reason, ERROR_INVALID_HANDLE);
        return 0;
    }
    // File positions are signed 64-bit on Windows; nothing lies past them.
    if (count == 0 || position > 0x7FFFFFFFFFFFFFFFull) {
        return 0;
    }
    HANDLE handle = static_cast<HANDLE>(file.handle);
    // A device whose length is unknown may refuse a read that runs past its
    // end as a whole; its last sectors are then read one at a time.
    bool sector_by_sector = false;
    std::size_t total = 0;
    while (total < count) {
        std::size_t wanted = count - total;
        if (wanted > max_transfer) {
            wanted = max_transfer;
        }
        if (sector_by_sector && wanted > file.device_sector) {
            wanted = file.device_sector;
        }
        // The position goes with each read (as pread does), so a failed read
        // leaves nothing to put right.
        const std::uint64_t at = position + total;
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD got = 0;
        if (!ReadFile(handle, buffer + total, static_cast<DWORD>(wanted), &got, &where)) {
            const DWORD code = GetLastError();
            if (code == ERROR_HANDLE_EOF) {
                break;  // a file's end
            }
            if (file.device && end_of_medium(code)) {
                if (!file.device_size_known && !sector_by_sector &&
                    wanted > file.device_sector) {
                    sector_by_sector = true;
                    continue;
                }
                if (!file.device_size_known || at >= file.device_size) {
                    break;  // the device's end
                }
            }
            *failed = true;
            set_system_reason(reason, code);
            break;
        }
        if (got == 0) {
            break;  // end of file
        }
        total += got;
    }
    return total;
}

FileGeometry file_geometry(FileHandle file) {
    FileGeometry geometry{false, 0, false, 1};
    if (!file.valid) {
        return geometry;
    }
    if (file.device) {
        geometry.is_device = true;
        geometry.size_known = file.device_size_known;
        geometry.size = file.device_size;
        geometry.sector_size = file.device_sector;
        return geometry;
    }
    LARGE_INTEGER size;
    if (GetFileSizeEx(static_cast<HANDLE>(file.handle), &size)) {
        geometry.size_known = true;
        geometry.size = static_cast<std::uint64_t>(size.QuadPart);
    }
    return geometry;
}

void close_file(FileHandle file) {
    if (file.valid) {
        CloseHandle(static_cast<HANDLE>(file.handle));
    }
}

void prepare_standard_streams() {
    // write_all goes straight to the handles, but anything that still uses
    // the C runtime's streams must not turn "\n" into "\r\n" either.
    std::fflush(stdout);
    std::fflush(stderr);
    binary_mode(stdout, Stream::standard_output);
    binary_mode(stderr, Stream::standard_error);
    // A reader that went away shows up as a failed WriteFile
    // (ERROR_NO_DATA or ERROR_BROKEN_PIPE); Windows sends no signal.
}

bool write_all(Stream stream, const char* bytes, std::size_t count, ErrorText* reason) {
    HANDLE handle = standard_handle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        set_system_reason(reason, ERROR_INVALID_HANDLE);
        return false;
    }
    // A console shows text in its own code page when given bytes; given
    // UTF-16 it shows every name as it is.
    if (is_console(handle)) {
        return write_console(handle, bytes, count, reason);
    }
    return write_bytes(handle, bytes, count, reason);
}

bool is_terminal(Stream stream) {
    HANDLE handle = standard_handle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    // The NUL device is a character device too, but has no console mode.
    return is_console(handle);
}

int run_with_utf8_arguments(int argc, wchar_t** argv, int (*body)(int, char**)) {
    std::vector<std::string> arguments;
    arguments.reserve(argc > 0 ? static_cast<std::size_t>(argc) : 0);
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(utf8_from_utf16(argv[i], std::wcslen(argv[i])));
    }
    std::vector<char*> pointers;
    pointers.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) {
        pointers.push_back(&argument[0]);
    }
    pointers.push_back(nullptr);
    return body(static_cast<int>(arguments.size()), pointers.data());
}

}  // namespace platform
