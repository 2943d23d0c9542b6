// The El Torito boot catalog: its validation entry, initial/default entry and
// first section, and the boot information table inside each boot image.
#pragma once

#include "UTypes.hpp"

void boot_catalog_section(Run& run, Sector catalog);

// Reports the boot information table at the start of the boot image at
// `load_sector`, when the table names that very sector as the image's own.
void boot_table_probe(Run& run, Sector load_sector);
