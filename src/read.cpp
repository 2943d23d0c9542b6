#include "read.hpp"

#include <cstring>

#include "report.hpp"

bool open_image(Run& run, const char* path) {
    platform::ErrorText reason;
    if (!open_image_source(*run.image, path, &reason)) {
        flush_output(run.out);  // the banner comes before the message
        diagnostic(run.diag, std::string("tolvane: ") + path + ": " + reason.text);
        return false;
    }
    return true;
}

std::string read_error_line(const char* path, BytePosition position, const char* reason) {
    return std::string("tolvane: ") + path + ": read error at byte position " +
           std::to_string(position) + ": " + reason;
}

void read_at(Run& run, BytePosition position, unsigned char* buffer, std::size_t count) {
    const ReadResult result = image_read(*run.image, position, buffer, count);
    if (result.delivered >= count) {
        return;
    }
    // Never let an earlier read's bytes stand in for bytes the image lacks.
    std::memset(buffer + result.delivered, 0, count - result.delivered);
    const std::string missing = std::to_string(count - result.delivered);
    if (result.failed) {
        run.read_failed = true;
        diagnostic(run.diag, read_error_line(run.image->name, position, result.reason.text) +
                                 "; " + missing + " of " + std::to_string(count) +
                                 " bytes read as zero bytes");
    } else {
        diagnostic(run.diag, std::string("tolvane: warning: ") + run.image->name + ": " + missing +
                                 " of the " + std::to_string(count) + " bytes at byte position " +
                                 std::to_string(position) +
                                 " lie past the end of the image; read as zero bytes");
    }
}

void close_image(Run& run) { close_image_source(*run.image); }
