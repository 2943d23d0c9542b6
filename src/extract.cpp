#include "extract.hpp"

#include "modes.hpp"

int boot_image_mode(const std::string&, const std::string&, Output&, Diagnostics& diag) {
    diagnostic(diag, "tolvane: --boot-image is not built yet");
    return kUsage;
}
