#include "tolvane.hpp"

#if defined(_WIN32)
#include "platform.hpp"

// Windows starts the program here (linked with -municode), with the command
// line in UTF-16: a name outside the ANSI code page arrives intact, and is
// handed on as UTF-8.
extern "C" int wmain(int argc, wchar_t** argv) {
    return platform::run_with_utf8_arguments(argc, argv, tolvane_main);
}
#else
int main(int argc, char** argv) { return tolvane_main(argc, argv); }
#endif
