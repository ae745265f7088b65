#!/bin/sh
# Rebuilds examples/demo.elf, the sample EE program, from examples/demo/.
# Needs Debian's MIPS little-endian cross compiler (package gcc-mipsel-linux-gnu).
#
# The options make an executable the loader accepts as it is: 32-bit,
# little-endian, ET_EXEC, EM_MIPS, with the standard record sizes. R5900 is
# the EE's core; it has no double-precision unit, hence soft float. Code is
# absolute (no PIC, no abicalls) and small data is reached through gp, whose
# value the linker records in .reginfo for the loader to pass on. The
# linker script (demo/demo.ld) puts the code at 0x00100000 and starts the
# data segment 8 bytes past a 16-byte boundary, with a length that is not a
# whole number of units either, so a load of it exercises every kind of
# memory write. No header patching is needed.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
src=$here/demo
out=${1:-$here/demo.elf}
cc=${CC:-mipsel-linux-gnu-gcc}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cflags="-march=r5900 -mabi=32 -EL -msoft-float -G8 -O2 -Wall -Wextra
        -static -nostdlib -mno-abicalls -fno-pic -fno-builtin -ffreestanding"

for f in crt0.S sys.c demo.c; do
    $cc $cflags -c "$src/$f" -o "$tmp/${f%.*}.o"
done
# No build id, so that the same sources give the same bytes on every machine.
$cc $cflags -T "$src/demo.ld" -Wl,--build-id=none -Wl,-z,max-page-size=16 \
    "$tmp/crt0.o" "$tmp/demo.o" "$tmp/sys.o" -lgcc -o "$tmp/demo.elf"
cp "$tmp/demo.elf" "$out"
echo "built $out"
