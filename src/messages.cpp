#include "messages.hpp"

#include "platform.hpp"
#include "utf8.hpp"

namespace {

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
        const std::size_t length = utf8_sequence(bytes + i, count - i, &code, Surrogates::refused);
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
