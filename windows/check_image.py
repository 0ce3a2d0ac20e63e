#!/usr/bin/env python3
"""Checks a shipped i386 image as the Windows 2000 loader and a Pentium see it.

  check_image.py --kind driver|program --exports LIST --modules DLL,... \
                 --objdump OBJDUMP [--nm NM --objects OBJ...] [--forbid NAME...] \
                 [--messages N --blocks M] IMAGE

Checked: machine i386 and PE32; subsystem (native for a driver, Windows GUI for
a program) and subsystem and OS versions 5.0; the entry point; the checksum;
for a driver the image base, kept relocations, the INIT section discardable
and the PAGE section pageable; no section both writable and executable; every
import from an allowed module and in the Windows 2000 export list, bound by
the compiled code as the list says; the resources; and every instruction one
that a Pentium (P5) executes. Prints the image's size. Exits 1 with every
problem found.
"""
import argparse
import os
import re
import subprocess
import sys

import pefile

MACHINE_I386 = 0x14C
PE32_MAGIC = 0x10B
SUBSYSTEM = {"driver": (1, "NT native"), "program": (2, "Windows GUI")}
DRIVER_IMAGE_BASE = 0x10000
# The driver entry as the i386 headers bind it (NTAPI, two pointer arguments):
# the link names it as the image's entry point.
DRIVER_ENTRY = "_DriverEntry@8"
FILE_RELOCS_STRIPPED = 0x0001

SCN_CNT_CODE = 0x00000020
SCN_MEM_DISCARDABLE = 0x02000000
SCN_MEM_NOT_PAGED = 0x08000000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000

RT_MESSAGETABLE = 11
RT_VERSION = 16
LANG_ENGLISH_US = 1033
VFT_DRV = 3

# The two-byte opcodes (0F xx) that a Pentium executes. Everything else in
# that map came later: CMOVcc (0F 40-4F), the long NOP (0F 1F), prefetches and
# hints, MMX, SSE and beyond, SYSENTER, and the 0F 38 and 0F 3A maps.
PENTIUM_0F_OPCODES = set(
    [0x00, 0x01, 0x02, 0x03, 0x06, 0x08, 0x09, 0x20, 0x21, 0x22, 0x23, 0x30, 0x31, 0x32]
    + list(range(0x80, 0xA0))
    + [0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAF]
    + [0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF]
    + [0xC0, 0xC1, 0xC7]
    + list(range(0xC8, 0xD0)))
LEGACY_PREFIXES = {0xF0, 0xF2, 0xF3, 0x2E, 0x36, 0x3E, 0x26, 0x64, 0x65, 0x66, 0x67}

# The Pentium's integer and system instructions as objdump names them in
# Intel syntax. A name outside this set (cmovcc, fcomi, sysenter, any MMX,
# SSE or VEX instruction, tzcnt, ...) is one a Pentium lacks.
PENTIUM_INTEGER = set("""
aaa aad aam aas adc add and arpl bound bsf bsr bswap bt btc btr bts call cbw
cwde cdq cwd clc cld cli clts cmc cmp cmps cmpsb cmpsw cmpsd cmpxchg cmpxchg8b
cpuid daa das dec div enter hlt idiv imul in inc ins insb insw insd int int3
into invd invlpg iret iretd iretw jmp jecxz jcxz ja jae jb jbe je jne jg jge jl
jle jo jno jp jnp js jns lahf lar lds lea leave les lfs lgdt lgs lidt lldt lmsw
lods lodsb lodsw lodsd loop loope loopne lsl lss ltr mov movs movsb movsw movsd
movsx movzx mul neg nop not or out outs outsb outsw outsd pop popa popad popf
popfd popfw push pusha pushad pushf pushfd pushfw rcl rcr rdmsr rdtsc ret retf
rol ror rsm sahf sal sar sbb scas scasb scasw scasd seta setae setb setbe sete
setne setg setge setl setle seto setno setp setnp sets setns sgdt shl shld shr
shrd sidt sldt smsw stc std sti stos stosb stosw stosd str sub test verr verw
wait fwait wbinvd wrmsr xadd xchg xlat xlatb xor
""".split())
# The Pentium's floating-point unit (no FCMOVcc, FCOMI or FUCOMI).
PENTIUM_X87 = set("""
fld fst fstp fild fist fistp fbld fbstp fxch fadd faddp fiadd fsub fsubp fisub
fsubr fsubrp fisubr fmul fmulp fimul fdiv fdivp fidiv fdivr fdivrp fidivr fcom
fcomp fcompp ficom ficomp fucom fucomp fucompp ftst fxam fldz fld1 fldpi fldl2t
fldl2e fldlg2 fldln2 fchs fabs fsqrt fscale fprem fprem1 frndint fxtract fsin
fcos fsincos fptan fpatan f2xm1 fyl2x fyl2xp1 fldcw fnstcw fstcw fnstsw fstsw
fnclex fclex fninit finit fnsave fsave frstor fnstenv fstenv fldenv ffree
fdecstp fincstp fnop
""".split())
MNEMONIC_PREFIXES = {"rep", "repz", "repnz", "repe", "repne", "lock", "cs", "ds", "es", "ss",
                     "fs", "gs", "data16", "data32", "addr16", "addr32"}
# ld puts the (here empty) constructor and destructor lists at the end of
# .text: -1, then 0, twice. They are data, not code.
EMPTY_CONSTRUCTOR_LISTS = b"\xff\xff\xff\xff\0\0\0\0" * 2


def read_export_list(path):
    """{decorated link name: (module, export name)} from the export list."""
    exports = {}
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].split()
            if not line:
                continue
            module, name, binding = line[0], line[1], line[2]
            if binding == "stdcall":
                decorated = f"_{name}@{int(line[3])}"
            elif binding == "fastcall":
                decorated = f"@{name}@{int(line[3])}"
            elif binding == "cdecl":
                decorated = f"_{name}"
            else:
                raise ValueError(f"{path}:{number}: unknown binding {binding}")
            exports[decorated] = (module.lower(), name)
    return exports


class Check:
    def __init__(self, image_path):
        self.image_path = image_path
        self.problems = []

    def expect(self, what, found, expected):
        if found != expected:
            self.problems.append(f"{what}: found {found}, expected {expected}")

    def fail(self, text):
        self.problems.append(text)


def check_headers(check, pe, kind):
    check.expect("machine", hex(pe.FILE_HEADER.Machine), hex(MACHINE_I386))
    check.expect("optional header magic", hex(pe.OPTIONAL_HEADER.Magic), hex(PE32_MAGIC))
    subsystem, subsystem_name = SUBSYSTEM[kind]
    check.expect("subsystem", pe.OPTIONAL_HEADER.Subsystem, subsystem)
    oh = pe.OPTIONAL_HEADER
    # Windows 2000 is 5.0: its loader refuses a later subsystem version.
    check.expect("subsystem version", f"{oh.MajorSubsystemVersion}.{oh.MinorSubsystemVersion}", "5.0")
    check.expect("OS version", f"{oh.MajorOperatingSystemVersion}.{oh.MinorOperatingSystemVersion}", "5.0")
    if not pe.verify_checksum():
        check.fail(f"checksum: header holds {oh.CheckSum:#x}, the file sums to {pe.generate_checksum():#x}")
    if kind == "driver":
        check.expect("image base", hex(oh.ImageBase), hex(DRIVER_IMAGE_BASE))
        relocations = getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
        if pe.FILE_HEADER.Characteristics & FILE_RELOCS_STRIPPED or not relocations:
            check.fail("relocations: none kept, but a driver is loaded wherever the kernel finds room")
    return subsystem_name


def section_of(pe, rva):
    for section in pe.sections:
        if section.VirtualAddress <= rva < section.VirtualAddress + max(section.Misc_VirtualSize, 1):
            return section
    return None


def section_name(section):
    return section.Name.rstrip(b"\0").decode("ascii", "replace")


def check_sections(check, pe, kind):
    names = []
    for section in pe.sections:
        name, flags = section_name(section), section.Characteristics
        names.append(name)
        if flags & SCN_MEM_WRITE and flags & SCN_MEM_EXECUTE:
            check.fail(f"section {name}: writable and executable ({flags:#010x})")
        if kind != "driver":
            continue
        if name == "INIT":
            if not (flags & SCN_CNT_CODE and flags & SCN_MEM_EXECUTE and flags & SCN_MEM_DISCARDABLE):
                check.fail(f"section INIT: not discardable code ({flags:#010x})")
        elif name == "PAGE":
            if not (flags & SCN_CNT_CODE and flags & SCN_MEM_EXECUTE) or flags & (SCN_MEM_NOT_PAGED | SCN_MEM_DISCARDABLE):
                check.fail(f"section PAGE: not pageable code ({flags:#010x})")
        elif name == ".text":
            if not flags & SCN_MEM_NOT_PAGED:
                check.fail(f"section .text: resident code is not marked not-paged ({flags:#010x})")
        elif flags & SCN_MEM_EXECUTE:
            check.fail(f"section {name}: code outside .text, PAGE and INIT ({flags:#010x})")
    if kind == "driver":
        for required in ("INIT", "PAGE"):
            if required not in names:
                check.fail(f"section {required}: missing (the placement macros put code there)")
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    entry_section = section_of(pe, entry)
    expected = "INIT" if kind == "driver" else ".text"
    found = section_name(entry_section) if entry_section else "no section"
    check.expect(f"entry point {entry:#x}", found, expected)
    return names


def object_symbols(nm, objects):
    """(symbols the objects use but do not define between them, symbols they define)."""
    undefined, defined = set(), set()
    for obj in objects:
        output = subprocess.run([nm, obj], check=True, capture_output=True, text=True).stdout
        for line in output.splitlines():
            fields = line.split()
            if len(fields) == 2 and fields[0] == "U":
                undefined.add(fields[1])
            elif len(fields) == 3 and fields[1].isupper():
                defined.add(fields[2])
    return undefined - defined, defined


def check_imports(check, pe, kind, exports, modules, forbidden, nm, objects):
    allowed_modules = {m.lower() for m in modules}
    by_export = {(module, name): decorated for decorated, (module, name) in exports.items()}
    imports = []
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        module = entry.dll.decode("ascii")
        if module.lower() not in allowed_modules:
            check.fail(f"imports from {module}, which this image may not use (allowed: {', '.join(modules)})")
        for symbol in entry.imports:
            if symbol.name is None:
                check.fail(f"imports ordinal {symbol.ordinal} from {module}: imports go by name")
                continue
            name = symbol.name.decode("ascii")
            imports.append((module, name))
            if (module.lower(), name) not in by_export:
                check.fail(f"imports {module}!{name}, which is not in the Windows 2000 export list")
            if name in forbidden:
                check.fail(f"imports {name}, which this image must not use")

    if objects:
        # How the compiled code binds each routine it calls from outside.
        external, defined = object_symbols(nm, objects)
        if kind == "driver" and DRIVER_ENTRY not in defined:
            check.fail(f"entry point: no object defines {DRIVER_ENTRY}")
        bound = set()
        for symbol in sorted(external):
            imported = symbol.startswith("__imp_")
            decorated = symbol[len("__imp_"):] if imported else symbol
            if decorated in exports:
                bound.add(exports[decorated])
            elif imported:
                check.fail(f"the code calls {decorated}: no Windows 2000 export is bound that way")
            # Otherwise a routine of a static library (libgcc's 64-bit
            # division, say): linked in, not imported.
        for module, name in imports:
            if (module.lower(), name) in by_export and (module.lower(), name) not in bound:
                check.fail(f"imports {module}!{name}, but the code does not call it as "
                           f"{by_export[(module.lower(), name)]}")
    return imports


def resource_entries(pe):
    """[(type id, name id, language id, data entry)] of the resource tree."""
    found = []
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for rname in rtype.directory.entries:
            for rlang in rname.directory.entries:
                found.append((rtype.id, rname.id, rlang.id, rlang.data.struct))
    return found


def message_table(pe, data):
    """([(low id, high id)], [(id, flags, text)]) of a MESSAGE_RESOURCE_DATA."""
    raw = pe.get_data(data.OffsetToData, data.Size)
    count = int.from_bytes(raw[0:4], "little")
    blocks, messages = [], []
    for b in range(count):
        low, high, offset = (int.from_bytes(raw[4 + 12 * b + 4 * i:8 + 12 * b + 4 * i], "little") for i in range(3))
        blocks.append((low, high))
        at = offset
        for message_id in range(low, high + 1):
            length = int.from_bytes(raw[at:at + 2], "little")
            flags = int.from_bytes(raw[at + 2:at + 4], "little")
            text = raw[at + 4:at + length]
            text = text.decode("utf-16-le") if flags & 1 else text.decode("latin-1")
            messages.append((message_id, flags, text.rstrip("\0")))
            at += length
    return blocks, messages


def check_resources(check, pe, kind, messages, blocks):
    entries = resource_entries(pe)
    types = sorted({e[0] for e in entries})
    expected_types = []
    if kind == "driver":
        expected_types = [RT_VERSION] + ([RT_MESSAGETABLE] if messages else [])
        check.expect("resource types", types, sorted(expected_types))
    for rtype in expected_types:
        keys = [(e[1], e[2]) for e in entries if e[0] == rtype]
        check.expect(f"resource type {rtype} (name, language)", keys, [(1, LANG_ENGLISH_US)])

    if kind == "driver":
        info = getattr(pe, "VS_FIXEDFILEINFO", None)
        if not info:
            check.fail("version resource: no fixed file information")
        else:
            check.expect("version resource file type", info[0].FileType, VFT_DRV)
        strings = {}
        for file_info in getattr(pe, "FileInfo", []):
            for block in file_info:
                for table in getattr(block, "StringTable", []):
                    strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
        check.expect("version resource OriginalFilename", strings.get("OriginalFilename"),
                     os.path.basename(check.image_path))
        for key in ("CompanyName", "FileDescription", "FileVersion", "ProductName", "ProductVersion"):
            if not strings.get(key):
                check.fail(f"version resource: no {key}")

    if messages:
        data = [e[3] for e in entries if e[0] == RT_MESSAGETABLE]
        if data:
            found_blocks, found = message_table(pe, data[0])
            check.expect("message table blocks", len(found_blocks), blocks)
            check.expect("message table messages", len(found), messages)
            for message_id, flags, text in found:
                if flags & 1:
                    check.fail(f"message {message_id:#010x}: stored as Unicode, expected 8-bit text")
                if not text.endswith("\r\n"):
                    check.fail(f"message {message_id:#010x}: does not end with a line break")
                if (message_id >> 16) & 0xFFF != 5 or message_id & 0x20000000:
                    check.fail(f"message {message_id:#010x}: not a facility 5 status without the customer bit")


def check_instructions(check, pe, kind, objdump):
    """Disassembles every executable section and looks at each instruction."""
    data_ranges = []
    for section in pe.sections:
        if section_name(section) == ".text":
            content = section.get_data()[:section.Misc_VirtualSize]
            end = pe.OPTIONAL_HEADER.ImageBase + section.VirtualAddress + section.Misc_VirtualSize
            if content.endswith(EMPTY_CONSTRUCTOR_LISTS):
                data_ranges.append((end - len(EMPTY_CONSTRUCTOR_LISTS), end))
            elif kind == "driver":
                check.fail(".text: does not end with empty constructor lists (global constructors in a driver?)")
    result = subprocess.run([objdump, "-d", "-M", "intel", "--insn-width=16", check.image_path],
                            capture_output=True, text=True)
    if result.returncode != 0:
        check.fail(f"instructions: {objdump} cannot disassemble the image: {result.stderr.strip()}")
        return 0
    output = result.stdout
    count, lacking = 0, {}
    for line in output.splitlines():
        match = re.match(r"\s+([0-9a-f]+):\t([0-9a-f ]+)\t(.*)$", line)
        if not match:
            continue
        address = int(match.group(1), 16)
        if any(start <= address < stop for start, stop in data_ranges):
            continue
        count += 1
        code = bytes.fromhex(match.group(2).replace(" ", ""))
        words = [w for w in match.group(3).split() if w not in MNEMONIC_PREFIXES]
        mnemonic = words[0] if words else ""
        reason = None
        at = 0
        while at < len(code) and code[at] in LEGACY_PREFIXES:
            at += 1
        if mnemonic == "(bad)":
            reason = "bytes that decode to no instruction"
        elif at + 1 < len(code) and code[at] == 0x0F and code[at + 1] not in PENTIUM_0F_OPCODES:
            reason = f"opcode 0F {code[at + 1]:02X} (later than the Pentium)"
        elif mnemonic.startswith("f") and kind == "driver":
            reason = "floating point in kernel code"
        elif mnemonic not in PENTIUM_INTEGER and mnemonic not in PENTIUM_X87:
            reason = "not a Pentium instruction"
        if reason:
            lacking.setdefault((mnemonic, reason), []).append(address)
    for (mnemonic, reason), addresses in sorted(lacking.items()):
        where = ", ".join(f"{a:#x}" for a in addresses[:5]) + (" ..." if len(addresses) > 5 else "")
        check.fail(f"instruction {mnemonic}: {reason}, at {where}")
    if count == 0 and not check.problems:
        check.fail("no instructions found to check")
    return count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kind", choices=("driver", "program"), required=True)
    parser.add_argument("--exports", required=True, help="the Windows 2000 export list")
    parser.add_argument("--modules", required=True, help="comma-separated modules this image may import from")
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--nm", help="nm, to read how the objects bind what they call")
    parser.add_argument("--objects", nargs="*", default=[], help="the objects linked into the image")
    parser.add_argument("--forbid", action="append", default=[], help="an import this image must not have")
    parser.add_argument("--messages", type=int, default=0, help="messages its message table holds")
    parser.add_argument("--blocks", type=int, default=0, help="blocks its message table holds")
    parser.add_argument("--size-goal", type=int, default=0, help="size in bytes the image should stay under")
    parser.add_argument("image")
    args = parser.parse_args()

    check = Check(args.image)
    try:
        pe = pefile.PE(args.image)
    except Exception as error:  # pefile raises more than PEFormatError on broken images
        print(f"{args.image}: cannot be read as a PE image: {error!r}", file=sys.stderr)
        return 1
    objects = [o for o in args.objects if o]
    if objects and not args.nm:
        parser.error("--objects needs --nm")
    exports = read_export_list(args.exports)

    subsystem = check_headers(check, pe, args.kind)
    sections = check_sections(check, pe, args.kind)
    imports = check_imports(check, pe, args.kind, exports, args.modules.split(","), set(args.forbid), args.nm, objects)
    check_resources(check, pe, args.kind, args.messages, args.blocks)
    instructions = check_instructions(check, pe, args.kind, args.objdump)

    name = os.path.basename(args.image)
    size = os.path.getsize(args.image)
    if check.problems:
        print(f"{name} is not what the package ships:", file=sys.stderr)
        for problem in check.problems:
            print(f"  {problem}", file=sys.stderr)
        return 1
    goal = ""
    if args.size_goal:
        goal = f" (goal: under {args.size_goal} bytes{', MISSED' if size >= args.size_goal else ''})"
    print(f"{name}: {size} bytes{goal}; i386 {subsystem} 5.0, checksum valid, sections {' '.join(sections)}, "
          f"{instructions} Pentium instructions")
    print(f"{name} imports: " + (", ".join(f"{m}!{n}" for m, n in sorted(imports)) or "nothing"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
