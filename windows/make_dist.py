#!/usr/bin/env python3
"""Lays out dist/, the package as a user copies it to a Windows 2000 machine.

  make_dist.py --out DIR --setup-note FILE FILE...

DIR is emptied and gets every FILE (INF and text files with CR LF line
ends), the folder setup/ with the note saying the installer goes there
(setup/README.txt), and MANIFEST: one line per file with its size in bytes,
its SHA-256 and its path inside DIR.
"""
import argparse
import hashlib
import os
import shutil
import sys


# Text files get CR LF line ends: Windows 2000's Notepad shows nothing else
# as lines, and INF files are written that way on the platform.
TEXT_SUFFIXES = (".inf", ".txt")


def copy(source, destination):
    if destination.lower().endswith(TEXT_SUFFIXES):
        with open(source, "rb") as f:
            text = f.read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        with open(destination, "wb") as f:
            f.write(text)
    else:
        shutil.copyfile(source, destination)


def write_manifest(out):
    lines = []
    for folder, _, files in sorted(os.walk(out)):
        for name in sorted(files):
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, out).replace(os.sep, "/")
            if relative == "MANIFEST":
                continue
            with open(path, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            lines.append(f"{os.path.getsize(path):>8}  {digest}  {relative}\n")
    with open(os.path.join(out, "MANIFEST"), "w", newline="\r\n") as f:
        f.write("#   bytes  SHA-256                                                           file\n")
        f.writelines(lines)
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--setup-note", required=True)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()

    if os.path.isdir(args.out):
        shutil.rmtree(args.out)
    os.makedirs(os.path.join(args.out, "setup"))
    try:
        for path in args.files:
            copy(path, os.path.join(args.out, os.path.basename(path)))
        copy(args.setup_note, os.path.join(args.out, "setup", "README.txt"))
    except OSError as error:
        print(f"make_dist: {error}", file=sys.stderr)
        return 1
    for line in write_manifest(args.out):
        print(line.rstrip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
