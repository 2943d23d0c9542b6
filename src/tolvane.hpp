// The run of tolvane: the command line, the order of the report's sections,
// and the modes that read an image into its model.
#pragma once

#include <cstdint>
#include <string>

#include "UTypes.hpp"

// "tolvane 0.2 by ...": the first line of every report.
void banner_line(Output& out);

// The report after the banner: the separator and section of the primary
// volume, of the boot record and of the boot catalog.
void report_sections(Run& run);

// Runs the report on an image source already set up (a test's reader, say)
// and gathers its report and its diagnostics in strings; `as_on_terminal`
// writes the report as for a terminal (line by line, unsafe field bytes as
// '?'). Returns the exit status the command would end with.
int report_image_source(ImageSource& source, bool as_on_terminal, std::string* report,
                        std::string* diagnostics);

// Sets up a run that reads `size` bytes held in memory and gathers its report
// and its diagnostics in strings; `as_on_terminal` writes the report as for a
// terminal (line by line, unsafe field bytes as '?'). Returns the exit status
// the command would end with.
int report_memory_image(const unsigned char* bytes, std::uint64_t size, bool as_on_terminal,
                        std::string* report, std::string* diagnostics);

// The command: tolvane [--] IMAGE, tolvane --json|--check [--] IMAGE...,
// tolvane --boot-image N [--] IMAGE, or tolvane --help | -h | --version | -V
// (options only as the first argument). Returns the process's exit status.
int tolvane_main(int argc, char** argv);
