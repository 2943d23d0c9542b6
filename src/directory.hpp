// The ISO 9660 directory tree, walked to name the files that hold the boot
// catalog and the boot images.
#pragma once

#include "image.hpp"
#include "model.hpp"

// Names the boot catalog's file and each boot entry's file (the file whose
// extent starts at its load sector), with its size, from the primary
// volume's directory tree. Images without such records are normal.
void name_files(ImageSource& source, ImageModel& model);
