#!/usr/bin/env python3
"""Checks that what a wheel says it is matches what it holds.

For every wheel named on the command line:

- the tags in its file name are the tags its WHEEL file lists;
- it holds at least one extension module, and every ELF file in it is built
  for the machine of every platform tag (class, byte order, e_machine, and
  for armv7l the hard-float ABI);
- every extension module's suffix names the interpreter of the wheel's ABI
  tag and the platform's multiarch triplet (a board's Python imports
  nothing else).

A cross build that forgets to name its target platform labels an ARM
module linux_x86_64; this refuses such a wheel.  Exits 1 on any mismatch,
naming the wheel and what disagrees.

    scripts/wheel_tags.py dist/*.whl
"""
import re
import struct
import sys
import zipfile

# Platform tag architecture -> what its ELF header must say, and the
# multiarch triplet in an extension suffix built for it.
EM_386, EM_ARM, EM_X86_64, EM_AARCH64 = 3, 40, 62, 183
ELFCLASS32, ELFCLASS64 = 1, 2
ELFDATA2LSB = 1
EF_ARM_ABI_FLOAT_HARD = 0x400
ARCHES = {
    "x86_64": (ELFCLASS64, ELFDATA2LSB, EM_X86_64, "x86_64-linux-gnu"),
    "i686": (ELFCLASS32, ELFDATA2LSB, EM_386, "i386-linux-gnu"),
    "aarch64": (ELFCLASS64, ELFDATA2LSB, EM_AARCH64, "aarch64-linux-gnu"),
    "armv7l": (ELFCLASS32, ELFDATA2LSB, EM_ARM, "arm-linux-gnueabihf"),
}
MACHINES = {EM_386: "i386", EM_ARM: "ARM", EM_X86_64: "x86-64", EM_AARCH64: "AArch64"}
PLATFORM = re.compile(r"^(?:linux|manylinux1|manylinux2010|manylinux2014|"
                      r"manylinux_\d+_\d+|musllinux_\d+_\d+)_(.+)$")
EXTENSION = re.compile(r"\.cpython-(\d+)-([a-z0-9_]+-linux-[a-z0-9]+)\.so$")


class Mismatch(Exception):
    pass


def file_name_tags(name):
    """The (python, abi, platform) triples of a wheel's file name."""
    stem = name.rsplit("/", 1)[-1]
    if not stem.endswith(".whl"):
        raise Mismatch("not a wheel file name")
    parts = stem[:-4].split("-")
    if len(parts) not in (5, 6):
        raise Mismatch("file name has %d parts, not 5 or 6" % len(parts))
    pythons, abis, platforms = (p.split(".") for p in parts[-3:])
    return parts[0], parts[1], {(py, abi, plat)
                                for py in pythons for abi in abis for plat in platforms}


def elf_header(data):
    """(class, byte order, machine, flags) of an ELF image, or None."""
    if len(data) < 52 or data[:4] != b"\x7fELF":
        return None
    elf_class, order = data[4], data[5]
    endian = "<" if order == ELFDATA2LSB else ">"
    (machine,) = struct.unpack_from(endian + "H", data, 18)
    flags_at = 48 if elf_class == ELFCLASS64 else 36
    (flags,) = struct.unpack_from(endian + "I", data, flags_at)
    return elf_class, order, machine, flags


def describe(header):
    elf_class, order, machine, _ = header
    return "%s-bit %s %s" % (32 if elf_class == ELFCLASS32 else 64,
                             "little-endian" if order == ELFDATA2LSB else "big-endian",
                             MACHINES.get(machine, "machine %d" % machine))


def check(path):
    """Raises Mismatch unless the wheel at `path` is what its tags say."""
    name, version, tags = file_name_tags(path)
    with zipfile.ZipFile(path) as wheel:
        wheel_file = "%s-%s.dist-info/WHEEL" % (name, version)
        try:
            listed = wheel.read(wheel_file).decode()
        except KeyError:
            raise Mismatch("no %s" % wheel_file) from None
        listed = {tuple(line.split(":", 1)[1].strip().split("-"))
                  for line in listed.splitlines() if line.startswith("Tag:")}
        if listed != tags:
            raise Mismatch("file name tags %s, WHEEL lists %s"
                           % (sorted("-".join(t) for t in tags), sorted("-".join(t) for t in listed)))
        wanted = set()
        for _, abi, platform in tags:
            match = PLATFORM.match(platform)
            if not match or match.group(1) not in ARCHES:
                raise Mismatch("platform tag %s names no architecture this check knows" % platform)
            wanted.add((abi, platform, match.group(1)))
        extensions = 0
        for member in wheel.namelist():
            with wheel.open(member) as f:
                header = elf_header(f.read(64))
            if header is None:
                continue
            for abi, platform, arch in sorted(wanted):
                elf_class, order, machine, triplet = ARCHES[arch]
                if header[:3] != (elf_class, order, machine):
                    raise Mismatch("%s is %s, but the wheel is tagged %s"
                                   % (member, describe(header), platform))
                if arch == "armv7l" and not header[3] & EF_ARM_ABI_FLOAT_HARD:
                    raise Mismatch("%s is soft-float ARM, but %s is hard-float" % (member, platform))
                suffix = EXTENSION.search(member)
                if suffix is None:
                    continue
                if suffix.group(2) != triplet:
                    raise Mismatch("%s is named for %s, but the wheel is tagged %s"
                                   % (member, suffix.group(2), platform))
                if "cp" + suffix.group(1) != abi:
                    raise Mismatch("%s is named for cpython-%s, but the wheel's ABI is %s"
                                   % (member, suffix.group(1), abi))
            if member.endswith(".so"):
                extensions += 1
        if not extensions:
            raise Mismatch("holds no extension module")
    return sorted(wanted)


def main(paths):
    if not paths:
        print("usage: wheel_tags.py WHEEL...", file=sys.stderr)
        return 2
    failed = False
    for path in paths:
        try:
            checked = check(path)
        except (Mismatch, zipfile.BadZipFile, OSError) as e:
            print("wheel_tags: %s: %s" % (path, e), file=sys.stderr)
            failed = True
        else:
            print("wheel_tags: %s: %s matches its ELF files"
                  % (path.rsplit("/", 1)[-1], ", ".join(sorted({p for _, p, _ in checked}))))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
