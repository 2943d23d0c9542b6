/* The floor of checking many images in one process: for each image named,
 * open it, read its sectors 16 and 17, the first sector of the boot catalog
 * sector 17 names, and the first sector of each boot image named by the
 * boot entries in that catalog sector, then close it. At the end it writes
 * one line: how many images it read and a sum of their bytes, so that
 * nothing it reads goes unused. Anything `tolvane --check` costs beyond
 * this program is judging, or work of its own.
 *
 * It is a benchmark, not a tool: it checks nothing beyond what it needs to
 * keep going. */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

enum { SECTOR = 2048, ENTRY = 32, ENTRIES = SECTOR / ENTRY };

static uint32_t le32(const unsigned char *b) {
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 |
           (uint32_t)b[3] << 24;
}

/* Reads the sector; what lies past the end of the image stays zero. */
static void read_sector(int fd, uint64_t sector, unsigned char *buffer) {
    ssize_t got = pread(fd, buffer, SECTOR, (off_t)(sector * SECTOR));
    if (got < 0) {
        got = 0;
    }
    memset(buffer + got, 0, SECTOR - (size_t)got);
}

static uint32_t sum_of(const unsigned char *bytes) {
    uint32_t sum = 0;
    for (size_t i = 0; i < SECTOR; i += 4) {
        sum += le32(bytes + i);
    }
    return sum;
}

/* Reads the first sector of the boot image the entry at `e` names. */
static uint32_t read_boot_image(int fd, const unsigned char *e, unsigned char *buffer) {
    read_sector(fd, le32(e + 8), buffer);
    return sum_of(buffer);
}

static uint32_t read_image(int fd) {
    static unsigned char pvd[SECTOR], record[SECTOR], catalog[SECTOR], boot[SECTOR];
    uint32_t sum = 0;
    read_sector(fd, 16, pvd);
    read_sector(fd, 17, record);
    read_sector(fd, le32(record + 71), catalog);
    sum += sum_of(pvd) + sum_of(record) + sum_of(catalog);
    sum += read_boot_image(fd, catalog + ENTRY, boot);
    /* Section headers (0x90, 0x91) and the entries each declares, within
     * the catalog's first sector. */
    for (size_t i = 2; i < ENTRIES;) {
        const unsigned char *header = catalog + i * ENTRY;
        if (header[0] != 0x90 && header[0] != 0x91) {
            break;
        }
        size_t count = (size_t)header[2] | (size_t)header[3] << 8;
        ++i;
        for (; count > 0 && i < ENTRIES; --count, ++i) {
            sum += read_boot_image(fd, catalog + i * ENTRY, boot);
        }
        if (header[0] == 0x91) {
            break;
        }
    }
    return sum;
}

int main(int argc, char **argv) {
    uint32_t sum = 0;
    int images = 0;
    for (int i = 1; i < argc; ++i) {
        int fd = open(argv[i], O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return 1;
        }
        sum += read_image(fd);
        close(fd);
        ++images;
    }
    printf("%d images, sum %08lX\n", images, (unsigned long)sum);
    return 0;
}
