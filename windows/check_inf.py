#!/usr/bin/env python3
"""Parses the package's INF files and cross-checks their sections and files.

  check_inf.py [--dist DIR] [--not-built FILE,...] INF...

For each INF: the [Version] section is that of a Windows 2000 Mouse-class INF;
every %string% is defined; every section named by another exists and every
section is named by one; each model's install section copies its driver,
adds its service with a kernel-driver service section, the event-log
registration where there is one (the driver itself as EventMessageFile), and
each service that is not the device's function driver is named as a device
filter; every copied file has a source disk and a destination and, with
--dist, lies in DIR. A file listed by --not-built may be missing: it is
reported as not built yet. Prints each INF's hardware IDs with the services
they get. Exits 1 with every problem found.
"""
import argparse
import os
import re
import sys

MOUSE_CLASS_GUID = "{4D36E96F-E325-11CE-BFC1-08002BE10318}"
SERVICE_KERNEL_DRIVER = 1
SPSVCINST_ASSOCSERVICE = 0x2
FLG_ADDREG_TYPE_MULTI_SZ = 0x00010000
FLG_ADDREG_TYPE_EXPAND_SZ = 0x00020000
FLG_ADDREG_TYPE_DWORD = 0x00010001
# Sections that Windows setup reads by their own names.
TOP_SECTIONS = {"version", "sourcedisksnames", "sourcedisksfiles", "destinationdirs", "manufacturer", "strings"}


def split_fields(text):
    """Comma-separated fields, quotes kept out, spaces around each trimmed."""
    fields, current, quoted = [], "", False
    for char in text:
        if char == '"':
            quoted = not quoted
        elif char == "," and not quoted:
            fields.append(current.strip())
            current = ""
            continue
        current += char
    fields.append(current.strip())
    return [f[1:-1] if len(f) >= 2 and f[0] == f[-1] == '"' else f for f in fields]


def strip_comment(line):
    quoted = False
    for i, char in enumerate(line):
        if char == '"':
            quoted = not quoted
        elif char == ";" and not quoted:
            return line[:i]
    return line


class Inf:
    """Sections of an INF as [(key or None, [fields], line number)], by lower-case name."""

    def __init__(self, path):
        self.path = path
        self.sections = {}
        self.names = {}
        self.problems = []
        current = None
        pending = ""
        with open(path, encoding="latin-1") as f:
            for number, raw in enumerate(f, 1):
                line = strip_comment(raw.rstrip("\r\n")).rstrip()
                if line.endswith("\\"):
                    pending += line[:-1]
                    continue
                line, pending = (pending + line).strip(), ""
                if not line:
                    continue
                header = re.fullmatch(r"\[([^\]]+)\]", line)
                if header:
                    current = header.group(1).strip().lower()
                    if current in self.sections:
                        self.fail(number, f"section [{header.group(1)}] appears twice")
                    self.sections.setdefault(current, [])
                    self.names[current] = header.group(1).strip()
                    continue
                if current is None:
                    self.fail(number, "a line before any section")
                    continue
                key, value = None, line
                match = re.match(r'^([^=",]+?)\s*=\s*(.*)$', line)
                if match:
                    key, value = match.group(1).strip(), match.group(2)
                self.sections[current].append((key, split_fields(value), number))
        self.strings = {k.lower(): f[0] for k, f, _ in self.sections.get("strings", []) if k}

    def fail(self, where, text):
        self.problems.append(f"{os.path.basename(self.path)}:{where}: {text}")

    def has(self, name):
        return name.lower() in self.sections

    def entries(self, section):
        return self.sections.get(section.lower(), [])

    def values(self, section, key):
        """Every field list given to KEY in SECTION (keys may repeat)."""
        return [fields for k, fields, _ in self.entries(section) if k and k.lower() == key.lower()]

    def value(self, section, key):
        found = self.values(section, key)
        return found[0][0] if found and found[0] else None

    def expand(self, text, number):
        """Replaces %name% by its string; %% is a literal %, %N% a directory id."""
        def replace(match):
            name = match.group(1)
            if name == "":
                return "%"
            if name.isdigit():
                return match.group(0)
            if name.lower() not in self.strings:
                self.fail(number, f"%{name}% is not defined in [Strings]")
                return match.group(0)
            return self.strings[name.lower()]
        return re.sub(r"%([^%]*)%", replace, text)


def check_inf(inf, dist, not_built):
    referenced = set()

    def need(section, number, by):
        referenced.add(section.lower())
        if not inf.has(section):
            inf.fail(number, f"{by} names section [{section}], which does not exist")
            return False
        return True

    # Every string used anywhere must be defined.
    for name, entries in inf.sections.items():
        if name == "strings":
            continue
        for key, fields, number in entries:
            for text in ([key] if key else []) + fields:
                inf.expand(text, number)

    signature = inf.value("Version", "Signature")
    if signature is None or signature.lower() != "$windows nt$":
        inf.fail("[Version]", f"Signature is {signature!r}, expected \"$Windows NT$\"")
    if (inf.value("Version", "Class") or "").lower() != "mouse":
        inf.fail("[Version]", "Class is not Mouse")
    if (inf.value("Version", "ClassGUID") or "").upper() != MOUSE_CLASS_GUID:
        inf.fail("[Version]", f"ClassGUID is not the Mouse class's {MOUSE_CLASS_GUID}")
    if not inf.value("Version", "Provider"):
        inf.fail("[Version]", "no Provider")

    disks = {k for k, _, _ in inf.entries("SourceDisksNames") if k}
    source_files = {}
    for key, fields, number in inf.entries("SourceDisksFiles"):
        if not key or fields[0] not in disks:
            inf.fail(number, f"source file {key} is on no disk of [SourceDisksNames]")
        source_files[(key or "").lower()] = number
    destinations = {k.lower() for k, _, _ in inf.entries("DestinationDirs") if k}

    copied = {}  # file name (lower case) -> install section
    models = []  # (hardware ID, description, install section)
    seen_ids = {}
    for key, fields, number in inf.entries("Manufacturer"):
        models_section = fields[0]
        if not need(models_section, number, "[Manufacturer]"):
            continue
        for description, model, model_number in inf.entries(models_section):
            if not description or len(model) < 2:
                inf.fail(model_number, "a model line needs a description, an install section and a hardware ID")
                continue
            install = model[0]
            for hardware_id in model[1:]:
                if hardware_id.lower() in seen_ids:
                    inf.fail(model_number, f"hardware ID {hardware_id} also on line {seen_ids[hardware_id.lower()]}")
                seen_ids[hardware_id.lower()] = model_number
                models.append((hardware_id, inf.expand(description, model_number), install))

    installs = {}
    for install in sorted({m[2] for m in models}, key=str.lower):
        if not need(install, "[Manufacturer]", "a model"):
            continue
        installs[install] = check_install(inf, install, need, copied, destinations)

    for name in inf.sections:
        if name not in TOP_SECTIONS and name not in referenced:
            inf.fail(f"[{inf.names[name]}]", "section named by nothing")

    notes = []
    for file_name, install in sorted(copied.items()):
        if file_name not in source_files:
            inf.fail(f"[{install}]", f"copies {file_name}, which [SourceDisksFiles] does not list")
        if dist is None:
            continue
        if not os.path.isfile(os.path.join(dist, file_name)):
            if file_name in not_built:
                notes.append(f"{file_name}: not built yet")
            else:
                inf.fail(f"[{install}]", f"copies {file_name}, which is not in {dist}")
    for file_name in source_files:
        if file_name and file_name not in copied:
            inf.fail("[SourceDisksFiles]", f"{file_name} is copied by no install section")
    return models, installs, notes


def check_install(inf, install, need, copied, destinations):
    """Checks one install section with its .Services and .HW sections;
    returns (function service, [filter services])."""
    for fields in inf.values(install, "CopyFiles"):
        for files in fields:
            if files.startswith("@"):
                copied[files[1:].lower()] = install
            elif need(files, install, f"[{install}] CopyFiles"):
                if files.lower() not in destinations and "defaultdestdir" not in destinations:
                    inf.fail(f"[{files}]", "no destination in [DestinationDirs]")
                for key, names, _ in inf.entries(files):
                    copied[(key or names[0]).lower()] = install
    for fields in inf.values(install, "AddReg"):
        for section in fields:
            need(section, install, f"[{install}] AddReg")
    included = [f for fields in inf.values(install, "Include") for f in fields]

    services = f"{install}.Services"
    function, filters = None, []
    if need(services, install, f"models of [{install}]"):
        for fields in inf.values(services, "AddService"):
            name = fields[0]
            flags = int(fields[1], 0) if len(fields) > 1 and fields[1] else 0
            if flags & SPSVCINST_ASSOCSERVICE:
                if function:
                    inf.fail(f"[{services}]", f"two function drivers, {function} and {name}")
                function = name
            else:
                filters.append(name)
            if len(fields) < 3 or not need(fields[2], services, f"AddService {name}"):
                inf.fail(f"[{services}]", f"AddService {name} has no service-install section")
                continue
            check_service(inf, name, fields[2], copied, need)
            if len(fields) > 3 and fields[3] and need(fields[3], services, f"AddService {name}"):
                check_event_log(inf, name, fields[3], fields[2], need)
        included += [f for fields in inf.values(services, "Include") for f in fields]
    if not function and not included:
        inf.fail(f"[{services}]", "no function driver (AddService with flag 0x2), nor one taken from a system INF")

    # A service that is not the function driver must be a device filter.
    hardware = f"{install}.HW"
    named_filters = []
    if inf.has(hardware):
        need(hardware, install, f"models of [{install}]")
        for fields in inf.values(hardware, "AddReg"):
            for section in fields:
                if not need(section, hardware, f"[{hardware}] AddReg"):
                    continue
                for _, reg, _ in inf.entries(section):
                    # root, subkey, value name, flags, value...
                    if len(reg) >= 5 and reg[2].lower() in ("upperfilters", "lowerfilters"):
                        if int(reg[3], 0) != FLG_ADDREG_TYPE_MULTI_SZ:
                            inf.fail(f"[{section}]", f"{reg[2]} is not written as REG_MULTI_SZ")
                        named_filters += [(reg[2], f) for f in reg[4:]]
    for name in filters:
        if name.lower() not in {f.lower() for _, f in named_filters}:
            inf.fail(f"[{services}]", f"service {name} is neither the function driver nor a device filter")
    return function, [f"{kind} {name}" for kind, name in named_filters]


def check_service(inf, name, section, copied, need):
    service_type = inf.value(section, "ServiceType")
    if service_type is None or int(service_type, 0) != SERVICE_KERNEL_DRIVER:
        inf.fail(f"[{section}]", f"ServiceType of {name} is {service_type}, expected 1 (kernel driver)")
    start = inf.value(section, "StartType")
    if start is None or int(start, 0) not in range(0, 5):
        inf.fail(f"[{section}]", f"StartType of {name} is {start}")
    error_control = inf.value(section, "ErrorControl")
    if error_control is None or int(error_control, 0) not in range(0, 4):
        inf.fail(f"[{section}]", f"ErrorControl of {name} is {error_control}")
    binary = inf.value(section, "ServiceBinary") or ""
    match = re.fullmatch(r"%12%\\([^\\]+)", binary)
    if not match:
        inf.fail(f"[{section}]", f"ServiceBinary of {name} is {binary!r}, expected %12%\\FILE")
    elif match.group(1).lower() not in copied:
        inf.fail(f"[{section}]", f"ServiceBinary {match.group(1)} is copied by no install section")
    for fields in inf.values(section, "AddReg"):
        for reg_section in fields:
            need(reg_section, section, f"[{section}] AddReg")


def check_event_log(inf, name, section, service_section, need):
    binary = (inf.value(service_section, "ServiceBinary") or "").split("\\")[-1].lower()
    found = {}
    for fields in inf.values(section, "AddReg"):
        for reg_section in fields:
            if need(reg_section, section, f"[{section}] AddReg"):
                for _, reg, _ in inf.entries(reg_section):
                    if len(reg) >= 5:  # root, subkey, value name, flags, value
                        found[reg[2].lower()] = (int(reg[3], 0), reg[4])
    message_file = found.get("eventmessagefile")
    if not message_file or message_file[0] != FLG_ADDREG_TYPE_EXPAND_SZ:
        inf.fail(f"[{section}]", f"{name}: no EventMessageFile written as REG_EXPAND_SZ")
    elif not message_file[1].lower().endswith("\\system32\\drivers\\" + binary):
        inf.fail(f"[{section}]", f"{name}: EventMessageFile {message_file[1]} is not the driver itself")
    types = found.get("typessupported")
    if not types or types[0] != FLG_ADDREG_TYPE_DWORD or int(types[1], 0) != 7:
        inf.fail(f"[{section}]", f"{name}: TypesSupported is not the REG_DWORD 7 (error, warning, information)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dist", help="the folder the copied files must be in")
    parser.add_argument("--not-built", default="", help="comma-separated files that may be missing from --dist")
    parser.add_argument("infs", nargs="+")
    args = parser.parse_args()
    not_built = {f.lower() for f in args.not_built.split(",") if f}

    problems = []
    for path in args.infs:
        try:
            inf = Inf(path)
        except OSError as error:
            problems.append(f"{path}: {error}")
            continue
        models, installs, notes = check_inf(inf, args.dist, not_built)
        problems += inf.problems
        if inf.problems:
            continue
        print(f"{os.path.basename(path)}:")
        for hardware_id, description, install in models:
            function, filters = installs.get(install, (None, []))
            what = function or "(the system's function driver)"
            if filters:
                what += ", " + ", ".join(filters)
            print(f"  {hardware_id:<18} {what:<46} {description}")
        for note in notes:
            print(f"  {note}")
    if problems:
        print("INF problems:", file=sys.stderr)
        for problem in problems:
            print(f"  {problem}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
