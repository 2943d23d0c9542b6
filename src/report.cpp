#include "report.hpp"

#include <cstring>

namespace {

// The longest line: a label of a few dozen bytes and a 128-byte identifier.
constexpr std::size_t kLineCapacity = 320;

// A line being assembled before it is written.
struct Line {
    char bytes[kLineCapacity];
    std::size_t length;
};

void append(Line& line, const char* bytes, std::size_t count) {
    if (count > kLineCapacity - line.length) {
        count = kLineCapacity - line.length;  // never reached with the report's labels
    }
    std::memcpy(line.bytes + line.length, bytes, count);
    line.length += count;
}

void append_label(Line& line, const char* label) {
    append(line, label, std::strlen(label));
}

void append_decimal(Line& line, std::uint64_t value) {
    char digits[24];
    append(line, digits, decimal(value, digits));
}

void append_hex(Line& line, std::uint64_t value, int min_digits) {
    char digits[24];
    append(line, digits, hex(value, min_digits, digits));
}

// "HEX (DECIMAL)", the value part of sector, position and count lines.
void append_hex_and_decimal(Line& line, std::uint64_t shown_in_hex, int min_digits,
                            std::uint64_t shown_in_decimal) {
    append_hex(line, shown_in_hex, min_digits);
    append(line, " (", 2);
    append_decimal(line, shown_in_decimal);
    append(line, ")", 1);
}

Line start_line(const char* label) {
    Line line;
    line.length = 0;
    append_label(line, label);
    return line;
}

bool printable_ascii(unsigned char byte) { return byte >= 0x20 && byte <= 0x7E; }

}  // namespace

std::size_t decimal(std::uint64_t value, char* digits) {
    char reversed[24];
    std::size_t count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (std::size_t i = 0; i < count; ++i) {
        digits[i] = reversed[count - 1 - i];
    }
    return count;
}

std::size_t hex(std::uint64_t value, int min_digits, char* digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    char reversed[24];
    std::size_t count = 0;
    do {
        reversed[count++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (count < static_cast<std::size_t>(min_digits) && count < 16) {
        reversed[count++] = '0';
    }
    for (std::size_t i = 0; i < count; ++i) {
        digits[i] = reversed[count - 1 - i];
    }
    return count;
}

BytePosition byte_position(Sector sector) {
    return static_cast<BytePosition>(sector) * kSectorSize;
}

Text raw_text(const unsigned char* field, std::size_t count) {
    return Text{field, count};
}

Text field_text(const unsigned char* field, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        if (field[i] != ' ') {
            return Text{field, width};
        }
    }
    return Text{field, 0};
}

std::uint32_t swap_bytes32(std::uint32_t value) {
    return ((value & 0x000000FFu) << 24) | ((value & 0x0000FF00u) << 8) |
           ((value & 0x00FF0000u) >> 8) | ((value & 0xFF000000u) >> 24);
}

bool flush_output(Output& out) {
    if (out.failed) {
        return false;
    }
    if (out.used == 0) {
        return true;
    }
    if (out.capture != nullptr) {
        out.capture->append(out.pending, out.used);
    } else if (!platform::write_all(platform::Stream::standard_output, out.pending,
                                    out.used, &out.reason)) {
        out.failed = true;
    }
    out.used = 0;
    return !out.failed;
}

void write_line(Output& out, const char* bytes, std::size_t count) {
    if (out.failed) {
        return;  // the report is lost already; the run ends with the error
    }
    if (count + 2 > kOutputBufferSize - out.used && !flush_output(out)) {
        return;
    }
    std::memcpy(out.pending + out.used, bytes, count);
    out.used += count;
    out.pending[out.used++] = '\r';
    out.pending[out.used++] = '\n';
    if (out.line_by_line) {
        flush_output(out);
    }
}

void write_bytes(Output& out, const char* bytes, std::size_t count) {
    while (count > 0 && !out.failed) {
        if (out.used == kOutputBufferSize && !flush_output(out)) {
            return;
        }
        std::size_t piece = kOutputBufferSize - out.used;
        if (piece > count) {
            piece = count;
        }
        std::memcpy(out.pending + out.used, bytes, piece);
        out.used += piece;
        bytes += piece;
        count -= piece;
    }
    if (out.line_by_line) {
        flush_output(out);
    }
}

namespace {
void write(Output& out, const Line& line) { write_line(out, line.bytes, line.length); }
}  // namespace

void heading_line(Output& out, const char* label) {
    write(out, start_line(label));
}

void text_line(Output& out, const char* label, Text value) {
    Line line = start_line(label);
    if (!out.terminal_safe) {
        append(line, reinterpret_cast<const char*>(value.bytes), value.length);
    } else {
        // An image's bytes must not drive the reader's terminal: escape
        // sequences, bells, backspaces and the like are shown as '?'.
        for (std::size_t i = 0; i < value.length; ++i) {
            const char shown = printable_ascii(value.bytes[i])
                                   ? static_cast<char>(value.bytes[i]) : '?';
            append(line, &shown, 1);
        }
    }
    write(out, line);
}

void decimal_line(Output& out, const char* label, std::uint64_t value) {
    Line line = start_line(label);
    append_decimal(line, value);
    write(out, line);
}

void hex_line(Output& out, const char* label, std::uint64_t value, int min_digits) {
    Line line = start_line(label);
    append_hex(line, value, min_digits);
    write(out, line);
}

void sector_line(Output& out, const char* label, Sector sector) {
    Line line = start_line(label);
    append_hex_and_decimal(line, sector, 8, byte_position(sector));
    write(out, line);
}

void position_line(Output& out, const char* label, Sector sector) {
    Line line = start_line(label);
    append_hex_and_decimal(line, byte_position(sector), 8, byte_position(sector));
    write(out, line);
}

void count_line(Output& out, const char* label, std::uint16_t count) {
    Line line = start_line(label);
    append_hex_and_decimal(line, count, 4, static_cast<std::uint32_t>(count) * 512u);
    write(out, line);
}

void blocks_line(Output& out, const char* label, std::uint32_t sectors) {
    Line line = start_line(label);
    append_decimal(line, sectors);
    append_label(line, " blocks. ");
    append_decimal(line, byte_position(sectors) / 1048576u);
    append(line, "MB", 2);
    write(out, line);
}
