#!/usr/bin/env python3
"""Checks dist/MANIFEST against dist/: every file listed once with its real
size and SHA-256, nothing missing from it, the files every package has, and
CR LF line ends in its text files.

  check_manifest.py DIST
"""
import hashlib
import os
import sys

ALWAYS_SHIPPED = {"auxhook.sys", "launcher.exe", "auxhook.inf", "setup/README.txt"}


def main():
    dist = sys.argv[1]
    problems = []
    listed = {}
    with open(os.path.join(dist, "MANIFEST"), newline="") as f:
        for line in f:
            if not line.endswith("\r\n"):
                problems.append(f"MANIFEST line without CR LF: {line!r}")
            if line.startswith("#"):
                continue
            size, digest, name = line.split()
            if name in listed:
                problems.append(f"{name} listed twice")
            listed[name] = (int(size), digest)
    present = set()
    for folder, _, files in os.walk(dist):
        for file_name in files:
            path = os.path.join(folder, file_name)
            name = os.path.relpath(path, dist).replace(os.sep, "/")
            if name == "MANIFEST":
                continue
            present.add(name)
            with open(path, "rb") as f:
                content = f.read()
            actual = (len(content), hashlib.sha256(content).hexdigest())
            if name.endswith((".inf", ".txt")) and content.count(b"\n") != content.count(b"\r\n"):
                problems.append(f"{name}: a line does not end in CR LF")
            if name not in listed:
                problems.append(f"{name} is not in MANIFEST")
            elif listed[name] != actual:
                problems.append(f"{name}: MANIFEST says {listed[name]}, the file is {actual}")
    for name in sorted(set(listed) - present):
        problems.append(f"MANIFEST lists {name}, which is not there")
    for name in sorted(ALWAYS_SHIPPED - present):
        problems.append(f"{name} is missing from the package")
    if problems:
        print("\n".join(problems), file=sys.stderr)
        return 1
    print(f"MANIFEST matches the {len(present)} files of {dist}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
