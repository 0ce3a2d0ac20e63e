#!/usr/bin/env python3
"""Finishes a linked i386 image the way the Windows loader expects it.

GNU ld cannot mark a section discardable or resident, nor write the PE
checksum, so this runs after every link:

  - a driver's INIT section (driver entry) becomes discardable, and so do its
    resources, which the event log reads from the file, never from memory;
    its PAGE section stays pageable, and every other section that stays
    loaded becomes resident (not paged);
  - the optional header's CheckSum is computed and written, which the kernel
    checks before it loads a driver.

  finish_image.py --kind driver|program IMAGE

Deliberately written without a PE library: the check that follows every link
reads the result with one, so the two are independent.
"""
import argparse
import struct
import sys

SCN_MEM_DISCARDABLE = 0x02000000
SCN_MEM_NOT_PAGED = 0x08000000


def pe_checksum(image: bytes, checksum_offset: int) -> int:
    """The PE image checksum: the 16-bit one's-complement-style sum of the
    file with the CheckSum field taken as zero, plus the file's length."""
    data = bytearray(image)
    data[checksum_offset:checksum_offset + 4] = b"\0\0\0\0"
    if len(data) % 2:
        data.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def section_table(image: bytes):
    """Yields (offset of the header, name, characteristics) per section."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    count = struct.unpack_from("<H", image, pe + 6)[0]
    optional_size = struct.unpack_from("<H", image, pe + 20)[0]
    first = pe + 24 + optional_size
    for i in range(count):
        at = first + 40 * i
        name = image[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
        flags = struct.unpack_from("<I", image, at + 36)[0]
        yield at, name, flags


def finish(path: str, kind: str) -> None:
    with open(path, "rb") as f:
        image = bytearray(f.read())

    if kind == "driver":
        for at, name, flags in section_table(image):
            if name in ("INIT", ".rsrc"):
                flags |= SCN_MEM_DISCARDABLE
            elif name.startswith("PAGE"):
                flags &= ~SCN_MEM_NOT_PAGED
            elif not flags & SCN_MEM_DISCARDABLE:
                flags |= SCN_MEM_NOT_PAGED
            struct.pack_into("<I", image, at + 36, flags)

    pe = struct.unpack_from("<I", image, 0x3C)[0]
    checksum_offset = pe + 24 + 64
    struct.pack_into("<I", image, checksum_offset, pe_checksum(image, checksum_offset))

    with open(path, "wb") as f:
        f.write(image)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kind", choices=("driver", "program"), required=True)
    parser.add_argument("image")
    args = parser.parse_args()
    try:
        finish(args.image, args.kind)
    except (OSError, ValueError, struct.error) as error:
        print(f"{args.image}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
