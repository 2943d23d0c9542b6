// Where things stand on the disc: every offset and size tolvane reads, named
// once, for the fixed report and the image model alike. Offsets are bytes from
// the start of the structure; numbers are little-endian (ISO 9660 also stores
// most of them big-endian; that copy is never read).
#pragma once

#include <cstddef>
#include <cstdint>

// Fields of the image are little-endian; each is assembled from its bytes,
// so the result is the same on any host.
inline std::uint8_t u8_at(const unsigned char* bytes, std::size_t offset) {
    return bytes[offset];
}
inline std::uint16_t le16_at(const unsigned char* bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}
inline std::uint32_t le32_at(const unsigned char* bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) |
           (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[offset + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

namespace layout {

// A sector of an ISO 9660 image: 2048 bytes, whatever block size the volume
// declares. Sectors 0 to 15 are the system area.
constexpr std::uint64_t kSector = 2048;
constexpr std::uint32_t kFirstDescriptorSector = 16;
constexpr std::uint32_t kBootRecordSector = 17;

// A volume descriptor (one sector each, from sector 16 on).
namespace descriptor {
constexpr std::size_t kType = 0;           // 0 boot record, 1 primary, 2 supplementary, 255 terminator
constexpr std::size_t kIdentifier = 1;     // "CD001"
constexpr std::size_t kIdentifierSize = 5;
constexpr std::size_t kVersion = 6;
constexpr std::uint8_t kBootRecord = 0;
constexpr std::uint8_t kPrimary = 1;
constexpr std::uint8_t kTerminator = 255;
}  // namespace descriptor

// The primary volume descriptor (type 1).
namespace pvd {
constexpr std::size_t kSize = 2048;
constexpr std::size_t kSystemId = 8, kSystemIdSize = 32;
constexpr std::size_t kVolumeId = 40, kVolumeIdSize = 32;
constexpr std::size_t kVolumeSpaceSize = 80;    // in sectors
constexpr std::size_t kLogicalBlockSize = 128;  // 16 bits
constexpr std::size_t kPathTableL = 140;        // sector of the Type L path table
constexpr std::size_t kRootRecord = 156;        // the root directory's record, 34 bytes
constexpr std::size_t kRootExtent = 158;        // its extent sector (record byte 2)
constexpr std::size_t kVolumeSetId = 190, kVolumeSetIdSize = 128;
constexpr std::size_t kPublisherId = 318, kPublisherIdSize = 128;
constexpr std::size_t kPreparerId = 446, kPreparerIdSize = 128;
constexpr std::size_t kApplicationId = 574, kApplicationIdSize = 128;
}  // namespace pvd

// The El Torito boot record volume descriptor (type 0, at sector 17).
namespace boot_record {
constexpr std::size_t kSystemId = 7, kSystemIdSize = 32;
constexpr std::size_t kCatalogSector = 71;
constexpr const char kElTorito[] = "EL TORITO SPECIFICATION";  // NUL-padded to 32 bytes
}  // namespace boot_record

// The boot catalog: 32-byte entries from the catalog's first byte.
namespace catalog {
constexpr std::size_t kEntrySize = 32;
// Validation entry (entry 0).
constexpr std::size_t kHeaderId = 0;       // 1
constexpr std::size_t kPlatformId = 1;
constexpr std::size_t kIdString = 4, kIdStringSize = 24;
constexpr std::size_t kChecksum = 28;
constexpr std::size_t kKey55 = 30, kKeyAA = 31;
// Boot entries: the initial/default entry and every section entry.
constexpr std::size_t kBootIndicator = 0;  // 0x88 bootable, 0x00 not
constexpr std::size_t kMediaType = 1;      // low four bits: the emulation; bit 5: an extension follows
constexpr std::size_t kLoadSegment = 2;
constexpr std::size_t kSystemType = 4;
constexpr std::size_t kSectorCount = 6;    // 512-byte sectors loaded
constexpr std::size_t kLoadSector = 8;
constexpr std::size_t kSelectionCriteria = 12;
constexpr std::uint8_t kBootable = 0x88;
constexpr std::uint8_t kNotBootable = 0x00;
constexpr std::uint8_t kMediaEmulationMask = 0x0F;
constexpr std::uint8_t kMediaExtensionFollows = 0x20;
// Section header.
constexpr std::size_t kHeaderIndicator = 0;  // 0x90 more headers follow, 0x91 final
constexpr std::size_t kHeaderPlatformId = 1;
constexpr std::size_t kSectionEntryCount = 2;
constexpr std::size_t kHeaderIdString = 4, kHeaderIdStringSize = 28;
constexpr std::uint8_t kMoreHeaders = 0x90;
constexpr std::uint8_t kFinalHeader = 0x91;
// Section entry extension.
constexpr std::uint8_t kExtensionIndicator = 0x44;
constexpr std::size_t kExtensionFlags = 1;
constexpr std::uint8_t kExtensionFollows = 0x20;
// Entry offsets within the catalog's first 512 bytes, as the report reads them.
constexpr std::size_t kInitialEntry = 32;
constexpr std::size_t kFirstHeader = 64;
constexpr std::size_t kFirstSectionEntry = 96;
}  // namespace catalog

// The boot information table a mastering tool writes into a no-emulation
// boot image.
namespace boot_table {
constexpr std::size_t kSize = 64;          // the table ends at byte 63
constexpr std::size_t kPvdSector = 8;
constexpr std::size_t kFileSector = 12;
constexpr std::size_t kLength = 16;
constexpr std::size_t kChecksum = 20;
constexpr std::uint64_t kChecksumStart = 64;  // the checksum covers bytes 64 to the length
}  // namespace boot_table

// The master boot record of the system area, and of a hard-disk emulation
// boot image.
namespace mbr {
constexpr std::size_t kSize = 512;
constexpr std::size_t kPartitionTable = 446;
constexpr std::size_t kPartitionEntrySize = 16;
constexpr std::size_t kPartitionCount = 4;
constexpr std::size_t kStatus = 0;         // 0x80 bootable
constexpr std::size_t kPartitionType = 4;
constexpr std::size_t kFirstSector = 8;    // 512-byte sectors
constexpr std::size_t kSectorCount = 12;
constexpr std::size_t kSignature = 510;    // 55 AA
constexpr std::uint64_t kGptHeader = 512;  // "EFI PART"
constexpr const char kGptSignature[] = "EFI PART";
constexpr std::size_t kGptSignatureSize = 8;
}  // namespace mbr

// A directory record in a directory's extent.
namespace directory {
constexpr std::size_t kLength = 0;         // 0: no more records in this sector
constexpr std::size_t kExtentSector = 2;
constexpr std::size_t kDataLength = 10;
constexpr std::size_t kFlags = 25;
constexpr std::size_t kNameLength = 32;
constexpr std::size_t kName = 33;
constexpr std::size_t kMinimumRecord = 34;
constexpr std::uint8_t kIsDirectory = 0x02;
constexpr std::uint8_t kMultiExtent = 0x80;  // not the file's last extent: a record for the next follows
constexpr std::uint8_t kSelfName = 0x00;      // the one-byte names of "." and ".."
constexpr std::uint8_t kParentName = 0x01;
}  // namespace directory

// System use entries after a directory record's name (Rock Ridge): a
// two-letter signature, the entry's length, a version, then its data.
namespace system_use {
constexpr std::size_t kSignature = 0;
constexpr std::size_t kLength = 2;
constexpr std::size_t kHeaderSize = 4;
// NM: the file's name as people see it, in one or more parts.
constexpr std::size_t kNameFlags = 4;
constexpr std::size_t kNameStart = 5;
constexpr std::uint8_t kNameContinues = 0x01;
constexpr std::uint8_t kNameCurrent = 0x02;
constexpr std::uint8_t kNameParent = 0x04;
}  // namespace system_use

// The boot sector of a FAT file system (an EFI system partition image).
namespace fat {
constexpr std::size_t kBytesPerSector = 11;
constexpr std::size_t kSectorsPerCluster = 13;
constexpr std::size_t kTotalSectors16 = 19;
constexpr std::size_t kTotalSectors32 = 32;
constexpr std::size_t kSignature = 510;
}  // namespace fat

// The sizes of the emulated floppies, in 512-byte sectors.
constexpr std::uint32_t kFloppySectors12 = 2400;
constexpr std::uint32_t kFloppySectors144 = 2880;
constexpr std::uint32_t kFloppySectors288 = 5760;

}  // namespace layout
