#!/bin/sh
# Makes samples/sample.iso: a small bootable image with a no-emulation boot
# image carrying a boot information table, and an EFI alternate boot entry,
# so that its report shows every section. Everything inside is our own:
# the "boot image" is a few bytes that halt the machine, the EFI image a
# tiny empty FAT file system. Needs xorriso and mtools.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/tree/boot" "$work/tree/docs"
# The boot image is 2048 bytes (4 virtual sectors): cli; hlt; jmp $-1, room
# for the boot information table that the mastering tool writes at bytes 8
# to 63, then a message, so that the table's checksum is not zero.
{
  printf '\372\364\353\375'
  head -c 60 /dev/zero
  printf 'tolvane sample boot image: it only halts the machine.'
} > "$work/boot.bin"
head -c 2048 /dev/zero | cat "$work/boot.bin" - | head -c 2048 > "$work/tree/boot/boot.bin"
# A 64 KiB FAT12 file system standing in for an EFI system partition.
mformat -i "$work/tree/boot/efi.img" -C -T 128 -h 1 -s 16 -v EFISAMPLE ::
printf 'tolvane sample image\n' > "$work/tree/docs/README.TXT"

# Fixed dates keep the image the same from run to run.
xorriso -as mkisofs \
  -o "$work/sample.iso" \
  -V 'TOLVANE_SAMPLE' -sysid 'LINUX' \
  -volset 'TOLVANE SAMPLES' -publisher 'TOLVANE PROJECT' \
  -p 'SAMPLES/MAKE-SAMPLE.SH' -A 'TOLVANE SAMPLE IMAGE' \
  --modification-date=2026120100000000 \
  -no-pad \
  -b boot/boot.bin -c boot/boot.cat \
  -no-emul-boot -boot-load-size 4 -boot-info-table \
  -eltorito-alt-boot -e boot/efi.img -no-emul-boot \
  "$work/tree" 2>/dev/null
cp "$work/sample.iso" "$here/sample.iso"
ls -l "$here/sample.iso"
