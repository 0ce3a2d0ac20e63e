#!/usr/bin/env python3
"""The image and INF checks catch what they are there to catch: each case
breaks one thing in a copy of a good driver image or INF file and expects
the check to fail, naming that thing; the untouched originals pass.

  test_checks.py --image DRIVER.sys --objdump OBJDUMP --inf serialmice.inf --nm NM --objects OBJ...
"""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
WINDOWS = os.path.dirname(HERE)
ARGS = None

SCN_MEM_DISCARDABLE = 0x02000000
SCN_MEM_NOT_PAGED = 0x08000000
SCN_MEM_WRITE = 0x80000000


class Image:
    """A PE image's bytes with the offsets of the fields the cases change."""

    def __init__(self, data):
        self.data = bytearray(data)
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        self.optional = self.pe + 24
        count = struct.unpack_from("<H", data, self.pe + 6)[0]
        first = self.optional + struct.unpack_from("<H", data, self.pe + 20)[0]
        self.sections = {}
        for i in range(count):
            at = first + 40 * i
            name = bytes(data[at:at + 8]).rstrip(b"\0").decode()
            self.sections[name] = at

    def section_flags(self, name, set_bits=0, clear_bits=0):
        at = self.sections[name] + 36
        flags = struct.unpack_from("<I", self.data, at)[0]
        struct.pack_into("<I", self.data, at, (flags | set_bits) & ~clear_bits)

    def put(self, offset, fmt, value):
        struct.pack_into(fmt, self.data, offset, value)

    def patch_padding(self, code):
        """Writes CODE over a run of NOPs in .text: an instruction that the
        disassembler meets on an instruction boundary."""
        at = self.sections[".text"]
        raw = struct.unpack_from("<I", self.data, at + 20)[0]
        size = struct.unpack_from("<I", self.data, at + 8)[0]
        run = self.data.find(b"\x90" * len(code), raw, raw + size)
        assert run >= 0, "no NOP padding in .text to patch"
        self.data[run:run + len(code)] = code


IMAGE_CASES = [
    # (case, change to the image, words the check must report)
    ("checksum off by one", lambda i: i.put(i.optional + 64, "<I", struct.unpack_from("<I", i.data, i.optional + 64)[0] ^ 1),
     "checksum"),
    ("machine not i386", lambda i: i.put(i.pe + 4, "<H", 0x8664), "machine"),
    ("subsystem version 5.1", lambda i: i.put(i.optional + 50, "<H", 1), "subsystem version"),
    ("OS version 5.1", lambda i: i.put(i.optional + 42, "<H", 1), "OS version"),
    ("subsystem Windows GUI", lambda i: i.put(i.optional + 68, "<H", 2), "subsystem"),
    ("image base of a program", lambda i: i.put(i.optional + 28, "<I", 0x400000), "image base"),
    ("relocations stripped", lambda i: i.put(i.pe + 22, "<H", struct.unpack_from("<H", i.data, i.pe + 22)[0] | 1),
     "relocations"),
    ("INIT not discardable", lambda i: i.section_flags("INIT", clear_bits=SCN_MEM_DISCARDABLE), "section INIT"),
    ("INIT writable", lambda i: i.section_flags("INIT", set_bits=SCN_MEM_WRITE), "writable and executable"),
    ("PAGE resident", lambda i: i.section_flags("PAGE", set_bits=SCN_MEM_NOT_PAGED), "section PAGE"),
    ("resident code paged", lambda i: i.section_flags(".text", clear_bits=SCN_MEM_NOT_PAGED), "section .text"),
    ("entry point outside INIT", lambda i: i.put(i.optional + 16, "<I", struct.unpack_from("<I", i.data, i.sections[".text"] + 12)[0]),
     "entry point"),
    ("cmove", lambda i: i.patch_padding(b"\x0f\x44\xc3"), "cmove"),
    ("long nop of the Pentium Pro", lambda i: i.patch_padding(b"\x0f\x1f\x00"), "0F 1F"),
    ("fcomi", lambda i: i.patch_padding(b"\xdb\xf1"), "fcomi"),
    ("x87 in kernel code", lambda i: i.patch_padding(b"\xd9\xe8"), "floating point"),
    ("sse", lambda i: i.patch_padding(b"\x0f\x28\xc1"), "0F 28"),
]


class Checks(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        with open(ARGS.image, "rb") as f:
            self.original = f.read()

    def tearDown(self):
        self.dir.cleanup()

    def write(self, name, data):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def check_image(self, path, *extra, exports=None):
        command = [sys.executable, os.path.join(WINDOWS, "check_image.py"), "--kind", "driver",
                   "--exports", exports or os.path.join(WINDOWS, "win2000_exports.txt"),
                   "--modules", "ntoskrnl.exe", "--objdump", ARGS.objdump, *extra, "--", path]
        return subprocess.run(command, capture_output=True, text=True)

    def finish(self, path):
        subprocess.run([sys.executable, os.path.join(WINDOWS, "finish_image.py"), "--kind", "driver", path], check=True)

    def image_named_as_built(self, data):
        # The version resource names the file: keep the original name.
        return self.write(os.path.basename(ARGS.image), data)

    def test_the_built_image_passes(self):
        result = self.check_image(self.image_named_as_built(self.original))
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_each_broken_image_fails_naming_the_fault(self):
        for case, change, expected in IMAGE_CASES:
            with self.subTest(case):
                image = Image(self.original)
                change(image)
                path = self.image_named_as_built(bytes(image.data))
                if case != "checksum off by one":
                    # Only the fault under test: the checksum matches again.
                    subprocess.run([sys.executable, "-c",
                                    "import pefile,sys; pe=pefile.PE(sys.argv[1]); "
                                    "pe.OPTIONAL_HEADER.CheckSum=pe.generate_checksum(); pe.write(sys.argv[1])", path],
                                   check=True, capture_output=True)
                result = self.check_image(path)
                self.assertEqual(result.returncode, 1, f"{case}: passed\n{result.stdout}")
                self.assertIn(expected, result.stderr, case)

    def test_finishing_restores_placement_and_checksum(self):
        image = Image(self.original)
        image.section_flags("INIT", clear_bits=SCN_MEM_DISCARDABLE)
        image.section_flags(".text", clear_bits=SCN_MEM_NOT_PAGED)
        image.section_flags("PAGE", set_bits=SCN_MEM_NOT_PAGED)
        image.put(image.optional + 64, "<I", 0)
        path = self.image_named_as_built(bytes(image.data))
        self.assertEqual(self.check_image(path).returncode, 1)
        self.finish(path)
        result = self.check_image(path)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), self.original)

    def test_bindings_are_held_against_the_list(self):
        path = self.image_named_as_built(self.original)
        with open(os.path.join(WINDOWS, "win2000_exports.txt")) as f:
            listed = f.read()
        stdcall = self.write("exports.txt", re.sub(r"IofCallDriver +fastcall 8", "IofCallDriver stdcall 8", listed).encode())
        objects = ["--nm", ARGS.nm, "--objects", *ARGS.objects]
        result = self.check_image(path, *objects)
        self.assertEqual(result.returncode, 0, result.stderr)
        without_entry = [o for o in ARGS.objects
                         if "_DriverEntry@8" not in subprocess.run([ARGS.nm, o], capture_output=True, text=True).stdout]
        self.assertLess(len(without_entry), len(ARGS.objects))
        cases = [
            ("the list binds a routine otherwise", objects, stdcall, "@IofCallDriver@8: no Windows 2000 export"),
            ("no object defines the entry", ["--nm", ARGS.nm, "--objects", *without_entry], None,
             "no object defines _DriverEntry@8"),
        ]
        for case, options, exports, expected in cases:
            with self.subTest(case):
                result = self.check_image(path, *options, exports=exports)
                self.assertEqual(result.returncode, 1, case)
                self.assertIn(expected, result.stderr, case)

    def test_imports_are_held_against_the_list(self):
        path = self.image_named_as_built(self.original)
        with open(os.path.join(WINDOWS, "win2000_exports.txt")) as f:
            lines = f.readlines()
        cases = [
            ("an import missing from the list", ["--exports", None], "IofCompleteRequest",
             "not in the Windows 2000 export list"),
            ("a module the image may not use", ["--modules", "HAL.dll"], None, "may not use"),
            ("a forbidden import", ["--forbid", "IoCreateDevice"], None, "must not use"),
        ]
        for case, option, dropped, expected in cases:
            with self.subTest(case):
                exports = None
                if dropped:
                    exports = self.write("exports.txt", "".join(l for l in lines if dropped not in l).encode())
                    option = []
                command = [sys.executable, os.path.join(WINDOWS, "check_image.py"), "--kind", "driver",
                           "--exports", exports or os.path.join(WINDOWS, "win2000_exports.txt"),
                           "--modules", "ntoskrnl.exe", "--objdump", ARGS.objdump, *option, "--", path]
                result = subprocess.run(command, capture_output=True, text=True)
                self.assertEqual(result.returncode, 1, case)
                self.assertIn(expected, result.stderr, case)


class MessageTableChecks(unittest.TestCase):
    """The fixture image carries three messages in two blocks."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        with open(ARGS.message_image, "rb") as f:
            self.original = f.read()

    def tearDown(self):
        self.dir.cleanup()

    def check(self, data, messages=3, blocks=2):
        path = os.path.join(self.dir.name, os.path.basename(ARGS.message_image))
        with open(path, "wb") as f:
            f.write(data)
        subprocess.run([sys.executable, os.path.join(WINDOWS, "finish_image.py"), "--kind", "driver", path], check=True)
        return subprocess.run([sys.executable, os.path.join(WINDOWS, "check_image.py"), "--kind", "driver",
                               "--exports", os.path.join(WINDOWS, "win2000_exports.txt"), "--modules", "ntoskrnl.exe",
                               "--objdump", ARGS.objdump, "--messages", str(messages), "--blocks", str(blocks),
                               "--", path], capture_output=True, text=True)

    def test_the_fixture_passes(self):
        result = self.check(self.original)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_each_broken_table_fails_naming_the_fault(self):
        first = b"The first fixture message.\r\n"
        self.assertEqual(self.original.count(first), 1)
        cases = [
            ("a text without CR LF", self.original.replace(first, first[:-2] + b" \n"), {}, "line break"),
            ("another count of messages", self.original, {"messages": 21}, "message table messages"),
            ("another count of blocks", self.original, {"blocks": 11}, "message table blocks"),
        ]
        for case, data, expected_counts, expected in cases:
            with self.subTest(case):
                result = self.check(data, **expected_counts)
                self.assertEqual(result.returncode, 1, case)
                self.assertIn(expected, result.stderr, case)


INF_CASES = [
    # (case, text replaced, replacement, words the check must report)
    ("signature of another system", '"$Windows NT$"', '"$Chicago$"', "Signature"),
    ("class GUID of another class", "{4D36E96F-E325-11CE-BFC1-08002BE10318}",
     "{4D36E96B-E325-11CE-BFC1-08002BE10318}", "ClassGUID"),
    ("copy list missing", "[SerFive_Files]\nserfive.sys\n", "", "[SerFive_Files], which does not exist"),
    ("undefined string", "%SerialMouse%", "%NoSuchString%", "%NoSuchString% is not defined"),
    ("event messages from another file", "%%SystemRoot%%\\System32\\drivers\\serwheel.sys",
     "%%SystemRoot%%\\System32\\IoLogMsg.dll", "not the driver itself"),
    ("types supported missing", "HKR, , TypesSupported,   0x00010001, 7\n\n; --- serfive", "\n; --- serfive",
     "TypesSupported"),
    ("not a kernel driver", "ServiceType    = 1 ", "ServiceType    = 2 ", "ServiceType"),
    ("binary that is not copied", "ServiceBinary  = %12%\\serfive.sys", "ServiceBinary  = %12%\\other.sys",
     "copied by no install section"),
    ("one hardware ID twice", "SERENUM\\PNP0F05", "SERENUM\\PNP0F04", "also on line"),
    ("no function driver", "AddService = serfive, 0x00000002,", "AddService = serfive, 0,",
     "neither the function driver nor a device filter"),
    ("a section nothing names", "[Strings]", "[Orphan]\nnothing.sys\n\n[Strings]", "named by nothing"),
    ("a copied file with no source disk", "serfive.sys  = 1\n", "", "does not list"),
]


class InfChecks(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        with open(ARGS.inf, newline="") as f:
            self.original = f.read()
        self.dist = os.path.join(self.dir.name, "dist")
        os.mkdir(self.dist)

    def tearDown(self):
        self.dir.cleanup()

    def check(self, text, *options):
        path = os.path.join(self.dir.name, os.path.basename(ARGS.inf))
        with open(path, "w", newline="") as f:
            f.write(text)
        return subprocess.run([sys.executable, os.path.join(WINDOWS, "check_inf.py"), *options, path],
                              capture_output=True, text=True)

    def test_the_inf_passes_and_names_images_not_built_yet(self):
        result = self.check(self.original, "--dist", self.dist, "--not-built", "serwheel.sys,serfive.sys")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("serwheel.sys: not built yet", result.stdout)

    def test_a_copied_file_missing_from_dist_fails(self):
        result = self.check(self.original, "--dist", self.dist, "--not-built", "serwheel.sys")
        self.assertEqual(result.returncode, 1)
        self.assertIn("serfive.sys, which is not in", result.stderr)

    def test_each_broken_inf_fails_naming_the_fault(self):
        for case, old, new, expected in INF_CASES:
            with self.subTest(case):
                self.assertIn(old, self.original, f"{case}: the INF no longer has {old!r}")
                result = self.check(self.original.replace(old, new, 1))
                self.assertEqual(result.returncode, 1, f"{case}: passed\n{result.stdout}")
                self.assertIn(expected, result.stderr, case)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--image", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--inf", required=True)
    parser.add_argument("--nm", required=True)
    parser.add_argument("--message-image", required=True, help="a driver with a message table of 3 messages in 2 blocks")
    parser.add_argument("--objects", nargs="+", required=True, help="the image's objects, DriverEntry's among them")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
