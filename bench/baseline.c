/* The floor tolvane is measured against: the least a program can do to
 * answer the same question about a disc image. It opens the image, asks
 * for its status once, makes the same five positioned reads tolvane makes
 * (primary volume descriptor, boot record, boot catalog, and the first
 * 64 bytes of the two boot images the catalog names), closes it, and writes
 * about two kilobytes to standard output in one write(2). Anything tolvane
 * costs beyond this program is start-up or work of its own.
 *
 * It is a benchmark, not a tool: it checks nothing beyond what it needs to
 * keep going, and its output is a hex dump, not a report. */
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { SECTOR = 2048, REPORT_SIZE = 1830, ROW = 32 };

static uint32_t le32(const unsigned char *b) {
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 |
           (uint32_t)b[3] << 24;
}

/* Reads what the image holds at `position`; bytes past its end stay zero. */
static void read_zero_filled(int fd, uint64_t position, unsigned char *buffer,
                             size_t count) {
    ssize_t got = pread(fd, buffer, count, (off_t)position);
    if (got < 0) {
        got = 0;
    }
    memset(buffer + got, 0, count - (size_t)got);
}

/* Appends rows of hex digits taken from `bytes` until the report is full. */
static size_t dump(char *out, size_t used, const unsigned char *bytes, size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < count && used + 2 * ROW + 2 <= REPORT_SIZE; i += ROW) {
        for (size_t j = 0; j < ROW; ++j) {
            out[used++] = digits[bytes[i + j] >> 4];
            out[used++] = digits[bytes[i + j] & 0xF];
        }
        out[used++] = '\r';
        out[used++] = '\n';
    }
    return used;
}

int main(int argc, char **argv) {
    static unsigned char pvd[SECTOR], record[512], catalog[512], boot1[64], boot2[64];
    static char out[REPORT_SIZE];
    struct stat status;
    if (argc < 2) {
        return 2;
    }
    int fd = open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &status) != 0) {
        return 1;
    }
    read_zero_filled(fd, 16u * SECTOR, pvd, sizeof pvd);
    read_zero_filled(fd, 17u * SECTOR, record, sizeof record);
    read_zero_filled(fd, (uint64_t)le32(record + 71) * SECTOR, catalog, sizeof catalog);
    read_zero_filled(fd, (uint64_t)le32(catalog + 40) * SECTOR, boot1, sizeof boot1);
    read_zero_filled(fd, (uint64_t)le32(catalog + 104) * SECTOR, boot2, sizeof boot2);
    close(fd);

    size_t used = 0;
    used = dump(out, used, record, sizeof record);
    used = dump(out, used, catalog, sizeof catalog);
    used = dump(out, used, boot1, sizeof boot1);
    used = dump(out, used, boot2, sizeof boot2);
    used = dump(out, used, pvd, sizeof pvd);
    while (used < REPORT_SIZE) {
        out[used++] = '\n';
    }
    return write(STDOUT_FILENO, out, used) == (ssize_t)used ? 0 : 1;
}
