// The two volume descriptors read at fixed sectors: the primary volume
// descriptor (sector 16) and the El Torito boot record (sector 17).
#pragma once

#include "UTypes.hpp"

void primary_volume_section(Run& run);

// Reports the boot record descriptor and returns the sector it names as the
// boot catalog's.
Sector boot_record_section(Run& run);
