// The platform layer on Win32: images are opened with CreateFileA and read
// with SetFilePointerEx/ReadFile; standard output and standard error are
// written with WriteFile on the process's standard handles, which never
// translates bytes, so a report's CR LF line ends arrive exactly once.
#include "platform.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>

namespace platform {
namespace {

void set_reason(ErrorText* reason, const char* text) {
    if (reason == nullptr) {
        return;
    }
    std::size_t length = std::strlen(text);
    if (length >= sizeof reason->text) {
        length = sizeof reason->text - 1;
    }
    std::memcpy(reason->text, text, length);
    reason->text[length] = '\0';
}

// Fetches the system's text for a Win32 error code, in US English when the
// system has it, and reduces it to one line without a closing full stop:
// "The system cannot find the file specified".
std::size_t system_message(DWORD code, DWORD language, char* buffer,
                           DWORD size) {
    return FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, language, buffer, size, nullptr);
}

void set_system_reason(ErrorText* reason, DWORD code) {
    if (reason == nullptr) {
        return;
    }
    char message[512];
    std::size_t length = system_message(
        code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), message,
        sizeof message);
    if (length == 0) {
        length = system_message(code, 0, message, sizeof message);
    }
    if (length == 0) {
        std::snprintf(message, sizeof message, "Windows error %lu",
                      static_cast<unsigned long>(code));
        set_reason(reason, message);
        return;
    }
    if (length >= sizeof message) {
        length = sizeof message - 1;
    }
    message[length] = '\0';
    // Some messages span lines; the reason has to fit on one.
    for (std::size_t i = 0; i < length; ++i) {
        if (message[i] == '\r' || message[i] == '\n' || message[i] == '\t') {
            message[i] = ' ';
        }
    }
    while (length > 0 && (message[length - 1] == ' ' ||
                          message[length - 1] == '.')) {
        --length;
    }
    message[length] = '\0';
    set_reason(reason, message);
}

HANDLE standard_handle(Stream stream) {
    return GetStdHandle(stream == Stream::standard_output ? STD_OUTPUT_HANDLE
                                                          : STD_ERROR_HANDLE);
}

// Largest single ReadFile/WriteFile request; both take a 32-bit count.
constexpr std::size_t max_transfer = 1u << 30;

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

    HANDLE handle = CreateFileA(path, GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened,
        // and Windows calls that "Access is denied"; name the real cause.
        const DWORD attributes = GetFileAttributesA(path);
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

    file.handle = handle;
    file.valid = true;
    return file;
}

std::size_t read_at_position(FileHandle file, std::uint64_t position,
                             unsigned char* buffer, std::size_t count,
                             bool* failed, ErrorText* reason) {
    *failed = false;
    if (!file.valid) {
        *failed = true;
        set_system_reason(reason, ERROR_INVALID_HANDLE);
        return 0;
    }
    if (count == 0) {
        return 0;
    }
    // File positions are signed 64-bit on Windows; nothing lies past them.
    if (position > 0x7FFFFFFFFFFFFFFFull) {
        return 0;
    }
    HANDLE handle = static_cast<HANDLE>(file.handle);

    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(position);
    if (!SetFilePointerEx(handle, distance, nullptr, FILE_BEGIN)) {
        *failed = true;
        set_system_reason(reason, GetLastError());
        return 0;
    }

    std::size_t total = 0;
    while (total < count) {
        std::size_t wanted = count - total;
        if (wanted > max_transfer) {
            wanted = max_transfer;
        }
        DWORD got = 0;
        if (!ReadFile(handle, buffer + total, static_cast<DWORD>(wanted), &got,
                      nullptr)) {
            const DWORD code = GetLastError();
            if (code == ERROR_HANDLE_EOF) {
                break;
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
    LARGE_INTEGER size;
    if (file.valid && GetFileSizeEx(static_cast<HANDLE>(file.handle), &size)) {
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

bool write_all(Stream stream, const char* bytes, std::size_t count,
               ErrorText* reason) {
    HANDLE handle = standard_handle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        set_system_reason(reason, ERROR_INVALID_HANDLE);
        return false;
    }
    std::size_t done = 0;
    while (done < count) {
        std::size_t chunk = count - done;
        if (chunk > max_transfer) {
            chunk = max_transfer;
        }
        DWORD written = 0;
        if (!WriteFile(handle, bytes + done, static_cast<DWORD>(chunk),
                       &written, nullptr)) {
            set_system_reason(reason, GetLastError());
            return false;
        }
        if (written == 0) {
            set_system_reason(reason, ERROR_WRITE_FAULT);
            return false;
        }
        done += written;
    }
    return true;
}

bool is_terminal(Stream stream) {
    HANDLE handle = standard_handle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    // The NUL device is a character device too, but has no console mode.
    DWORD mode = 0;
    return GetFileType(handle) == FILE_TYPE_CHAR &&
           GetConsoleMode(handle, &mode) != 0;
}

}  // namespace platform
