// The small layer between tolvane and the operating system: opening,
// reading and closing an image, and writing bytes to standard output and
// standard error. platform_posix.cpp implements it with open/pread/close;
// platform_win32.cpp with CreateFileW/ReadFile/CloseHandle. Paths and
// messages are UTF-8 bytes on both; on Windows the layer turns them into
// UTF-16 for the system and the console. Nothing above this layer knows which
// one it runs on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// An open image file. `valid` is false when opening failed.
struct FileHandle {
#if defined(_WIN32)
    void* handle;
    // A raw drive or volume (\\.\D:, \\.\PhysicalDrive1), with what it said
    // of itself when opened: reads of it are whole sectors, and a sector it
    // reports missing at or past its end is the end of the data.
    bool device;
    bool device_size_known;
    std::uint64_t device_size;
    std::uint32_t device_sector;
#else
    int fd;
    // What the status query at opening said: a regular file and its size
    // (a block device's size is asked of the device).
    bool regular;
    std::uint64_t regular_size;
#endif
    bool valid;
};

// What a failed call said, as the system's own reason ("No such file or
// directory", "Is a directory", ...), NUL-terminated, short.
struct ErrorText {
    char text[160];
};

// Opens an existing file for reading only, letting other processes read and
// write it meanwhile; never creates or truncates anything. Only regular files
// and block devices are accepted: a directory, FIFO, socket or character
// device fails with a reason in *reason.
FileHandle open_read_only(const char* path, ErrorText* reason);

// Reads up to `count` bytes at absolute byte `position` into `buffer`.
// Returns how many bytes arrived (fewer only at the end of the file or on
// an error). *failed is set when the system reported an error, with the
// reason in *reason; running into the end of the file is not an error.
std::size_t read_at_position(FileHandle file, std::uint64_t position,
                             unsigned char* buffer, std::size_t count,
                             bool* failed, ErrorText* reason);

void close_file(FileHandle file);

// What an open image is: its size in bytes (a regular file's size, or a
// block device's or drive's as the device reports it), and for a device the
// size of its sectors, the unit every read of it must come in.
struct FileGeometry {
    bool size_known;
    std::uint64_t size;
    bool is_device;
    std::uint32_t sector_size;  // 1 when reads may be of any size
};
FileGeometry file_geometry(FileHandle file);

enum class Stream { standard_output, standard_error };

// Prepares the process's standard streams: binary standard output (so CR LF
// is written once, never doubled), and a closed reader on a pipe reported as
// a write error rather than a silent kill.
void prepare_standard_streams();

// Writes all `count` bytes to the stream. Returns false, with the reason,
// when the system refused them. A file or pipe gets the bytes exactly; a
// Windows console is given the UTF-8 text as UTF-16 (WriteConsoleW), so that
// a Cyrillic or Chinese name reads correctly whatever its code page.
bool write_all(Stream stream, const char* bytes, std::size_t count,
               ErrorText* reason);

// True when the stream is an interactive terminal.
bool is_terminal(Stream stream);

#if defined(_WIN32)
// The program's entry on Windows: takes the command line as the system holds
// it, in UTF-16, and calls `body` with each argument in UTF-8, as every other
// part of the tool expects.
int run_with_utf8_arguments(int argc, wchar_t** argv, int (*body)(int, char**));
#endif

}  // namespace platform
