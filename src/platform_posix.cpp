// The platform layer on POSIX systems: open/fstat/pread/close for the image,
// write(2) for the standard streams.
#include "platform.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#endif

namespace platform {

namespace {

void set_reason(ErrorText* reason, const char* text) {
    std::strncpy(reason->text, text, sizeof reason->text - 1);
    reason->text[sizeof reason->text - 1] = '\0';
}

void set_errno_reason(ErrorText* reason, int error) {
    set_reason(reason, std::strerror(error));
}

int descriptor_of(Stream stream) {
    return stream == Stream::standard_output ? STDOUT_FILENO : STDERR_FILENO;
}

}  // namespace

FileHandle open_read_only(const char* path, ErrorText* reason) {
    FileHandle file{-1, false, 0, false};
    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; such a
    // file is refused just below anyway. Nothing is created or truncated.
    const int fd = ::open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        set_errno_reason(reason, errno);
        return file;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0) {
        set_errno_reason(reason, errno);
        ::close(fd);
        return file;
    }
    if (S_ISDIR(status.st_mode)) {
        set_errno_reason(reason, EISDIR);
        ::close(fd);
        return file;
    }
    if (!S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode)) {
        set_reason(reason, "Not a regular file or block device");
        ::close(fd);
        return file;
    }
    file.fd = fd;
    file.regular = S_ISREG(status.st_mode);
    file.regular_size = file.regular ? static_cast<std::uint64_t>(status.st_size) : 0;
    file.valid = true;
    return file;
}

std::size_t read_at_position(FileHandle file, std::uint64_t position,
                             unsigned char* buffer, std::size_t count,
                             bool* failed, ErrorText* reason) {
    *failed = false;
    std::size_t delivered = 0;
    while (delivered < count) {
        const std::uint64_t at = position + delivered;
        if (at > static_cast<std::uint64_t>(INT64_MAX)) {
            break;  // beyond any file: nothing there
        }
        const ssize_t got = ::pread(file.fd, buffer + delivered, count - delivered,
                                    static_cast<off_t>(at));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            *failed = true;
            set_errno_reason(reason, errno);
            break;
        }
        if (got == 0) {
            break;  // end of the file
        }
        delivered += static_cast<std::size_t>(got);
    }
    return delivered;
}

FileGeometry file_geometry(FileHandle file) {
    FileGeometry geometry{false, 0, false, 1};
    if (!file.valid) {
        return geometry;
    }
    if (file.regular) {
        geometry.size_known = true;
        geometry.size = file.regular_size;
        return geometry;
    }
    geometry.is_device = true;  // only regular files and block devices are opened
#if defined(__linux__)
    // fstat gives 0 for a block device; the device knows its own size and
    // the size of its logical sectors.
    if (geometry.is_device) {
        std::uint64_t bytes = 0;
        if (::ioctl(file.fd, BLKGETSIZE64, &bytes) == 0) {
            geometry.size_known = true;
            geometry.size = bytes;
        }
        int sector = 0;
        if (::ioctl(file.fd, BLKSSZGET, &sector) == 0 && sector > 0) {
            geometry.sector_size = static_cast<std::uint32_t>(sector);
        }
    }
#endif
    return geometry;
}

void close_file(FileHandle file) {
    if (file.valid) {
        ::close(file.fd);
    }
}

void prepare_standard_streams() {
    // A reader that has gone away must show up as a failed write (EPIPE),
    // reported and ended with status 1, not as a silent kill by SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
}

bool write_all(Stream stream, const char* bytes, std::size_t count, ErrorText* reason) {
    const int fd = descriptor_of(stream);
    while (count > 0) {
        const ssize_t put = ::write(fd, bytes, count);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            set_errno_reason(reason, errno);
            return false;
        }
        bytes += put;
        count -= static_cast<std::size_t>(put);
    }
    return true;
}

bool is_terminal(Stream stream) { return ::isatty(descriptor_of(stream)) == 1; }

}  // namespace platform
