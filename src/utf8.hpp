// Decoding UTF-8, for showing paths safely and for handing them to Windows.
#pragma once

#include <cstddef>

// Whether a decoded sequence may be a UTF-16 surrogate (U+D800 to U+DFFF):
// never in text, but a lone surrogate of a Windows file name travels that way.
enum class Surrogates { refused, allowed };

// The code point of the UTF-8 sequence at bytes[0] and its length, or 0 when
// the bytes are not one: no overlong forms, nothing past U+10FFFF.
inline std::size_t utf8_sequence(const unsigned char* bytes, std::size_t left, char32_t* code,
                                 Surrogates surrogates) {
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
    if (value < minimum || value > 0x10FFFF) {
        return 0;
    }
    if (surrogates == Surrogates::refused && value >= 0xD800 && value <= 0xDFFF) {
        return 0;
    }
    *code = value;
    return length;
}
