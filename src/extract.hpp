// Taking a boot image out of a disc image, at its true size.
#pragma once

#include <string>

#include "UTypes.hpp"

// tolvane --boot-image N IMAGE: writes the bytes of the N-th boot entry's
// image (1-based, in catalog order) to standard output, and one line on
// standard error saying its size and where the size came from. Returns the
// exit status.
int boot_image_mode(const std::string& number, const std::string& path, Output& out,
                    Diagnostics& diag);
