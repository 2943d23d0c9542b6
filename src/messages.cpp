#include "messages.hpp"

#include "platform.hpp"

namespace {

// The length of the valid UTF-8 sequence starting at bytes[0], or 0: no
// overlong forms, no surrogates, nothing past U+10FFFF.
std::size_t utf8_sequence(const unsigned char* bytes, std::size_t left, char32_t* code) {
    const unsigned char lead = bytes[0];
    std::size_t length;
    char32_t value;
    char32_t minimum;
    if (lead < 0x80) {
        *code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2; value = lead & 0x1F; minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3; value = lead & 0x0F; minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4; value = lead & 0x07; minimum = 0x10000;
    } else {
        return 0;
    }
    if (left < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((bytes[i] & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (bytes[i] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    *code = value;
    return length;
}

bool control(char32_t code) {
    return code < 0x20 || (code >= 0x7F && code <= 0x9F);
}

}  // namespace

std::string shown_on_terminal(const char* text, std::size_t count) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    std::string shown;
    shown.reserve(count);
    std::size_t i = 0;
    while (i < count) {
        char32_t code = 0;
        const std::size_t length = utf8_sequence(bytes + i, count - i, &code);
        if (length == 0) {
            shown.push_back('?');
            ++i;
        } else if (control(code)) {
            shown.push_back('?');
            i += length;
        } else {
            shown.append(text + i, length);
            i += length;
        }
    }
    return shown;
}

void diagnostic(Diagnostics& diag, const std::string& line) {
    std::string text = diag.terminal ? shown_on_terminal(line) : line;
    text.push_back('\n');
    if (diag.capture != nullptr) {
        diag.capture->append(text);
        return;
    }
    platform::ErrorText ignored;
    platform::write_all(platform::Stream::standard_error, text.data(), text.size(), &ignored);
}
