// Warnings and errors on standard error, and how any text that came from
// outside (a path, a system's reason) is shown on a terminal.
#pragma once

#include <cstddef>
#include <string>

// Where warnings and errors go: standard error, or a string for tests.
struct Diagnostics {
    std::string* capture;
    bool terminal;               // standard error is a terminal: show text safely
};

// The bytes as they may be written to a terminal: control characters (C0,
// DEL, and C1 as single bytes or in their UTF-8 form) and bytes that are not
// valid UTF-8 become '?', each; valid UTF-8 from U+00A0 on is kept, so that
// a Cyrillic or Chinese file name stays readable. Files and pipes are given
// the exact bytes instead, by the callers.
std::string shown_on_terminal(const char* bytes, std::size_t count);
inline std::string shown_on_terminal(const std::string& text) {
    return shown_on_terminal(text.data(), text.size());
}

// Writes one line (a line end is added) to standard error or the test's
// string, made safe first when standard error is a terminal.
void diagnostic(Diagnostics& diag, const std::string& line);
