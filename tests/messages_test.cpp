// How text from outside (a path, a system's reason) is shown on a terminal:
// control characters and bytes that are not UTF-8 become '?', one for each
// character or stray byte; letters of any script stay.
#include <gtest/gtest.h>

#include <string>

#include "messages.hpp"

namespace {

struct Shown {
    const char* what;
    std::string bytes;
    std::string on_terminal;
};

const Shown kCases[] = {
    {"nothing", "", ""},
    {"printable ASCII", "disc image (1) ~!.iso", "disc image (1) ~!.iso"},
    {"Cyrillic", "\xd0\xbe\xd0\xb1\xd1\x80\xd0\xb0\xd0\xb7", "\xd0\xbe\xd0\xb1\xd1\x80\xd0\xb0\xd0\xb7"},
    {"Chinese, a continuation byte 0x9B inside", "\xe5\x85\x89\xe7\x9b\x98", "\xe5\x85\x89\xe7\x9b\x98"},
    {"emoji outside the BMP", "\xf0\x9f\x92\xbf", "\xf0\x9f\x92\xbf"},
    {"U+00A0 and U+00E9, the first letters past C1", "\xc2\xa0\xc3\xa9", "\xc2\xa0\xc3\xa9"},
    {"U+10FFFF, the last code point", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
    {"C0 controls", std::string("\x00\t\n\r\x07\x1b\x1f", 7), "???????"},
    {"DEL", "a\x7f" "b", "a?b"},
    {"C1 as bytes", "\x80\x85\x9b\x9f", "????"},
    {"C1 in UTF-8", "\xc2\x80\xc2\x9b\xc2\x9f", "???"},
    {"escape sequence", "x\x1b]0;PWNED\x07.iso", "x?]0;PWNED?.iso"},
    {"overlong forms", "\xc0\xaf\xc1\x9b\xe0\x80\xaf\xf0\x80\x80\xaf", "???????????"},
    {"UTF-16 surrogates", "\xed\xa0\x80\xed\xbf\xbf", "??????"},
    {"past U+10FFFF", "\xf4\x90\x80\x80\xf5\x80\x80\x80", "????????"},
    {"stray continuation and bytes never in UTF-8", "\xbf\xfe\xff", "???"},
    {"truncated sequences at the end", "\xf0\x9f\x92", "???"},
    {"truncated sequence before ASCII", "\xe5\x85" "A\xd0" "B", "??A?B"},
};

TEST(Messages, ShownOnTerminalKeepsLettersAndReplacesControlsAndBadBytes) {
    for (const Shown& c : kCases) {
        EXPECT_EQ(shown_on_terminal(c.bytes), c.on_terminal) << c.what;
    }
}

TEST(Messages, DiagnosticIsMadeSafeOnlyForATerminal) {
    const std::string line = "tolvane: x\x1b[2J\xd0\xb6.iso: No such file or directory";
    std::string captured;
    Diagnostics file{&captured, false};
    diagnostic(file, line);
    EXPECT_EQ(captured, line + "\n");
    captured.clear();
    Diagnostics terminal{&captured, true};
    diagnostic(terminal, line);
    EXPECT_EQ(captured, "tolvane: x?[2J\xd0\xb6.iso: No such file or directory\n");
}

}  // namespace
