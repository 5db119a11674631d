#!/usr/bin/env python3
"""Lays out a mirror of the platform folder's public sources as the code
hosting serves raw files, OWNER/REPO/COMMIT/PATH, from a platform folder and
the manifest (tools/platform/platform.hash):
  - a file taken as it is: the folder's file at its origin;
  - the upstream input of a generated file: the folder's file with the
    documented edit undone (processor.h: the declaration of init_tss back in
    its place; config: arch/i386/defconfig's SMP and module versioning).

    make_mirror.py PLATFORM_DIR MANIFEST MIRROR_DIR
"""
import os
import re
import shutil
import sys


def undo_kconfig(text):
    out = []
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        if line == "# CONFIG_SMP is not set":
            out.append("CONFIG_SMP=y")
            # The uniprocessor questions that oldconfig answered.
            while i + 1 < len(lines) and lines[i + 1] in ("# CONFIG_X86_UP_APIC is not set",
                                                         "# CONFIG_X86_UP_IOAPIC is not set"):
                i += 1
        elif line == "# CONFIG_MODVERSIONS is not set":
            out.append("CONFIG_MODVERSIONS=y")
        else:
            out.append(line)
        i += 1
    return "\n".join(out)


def undo_processor_h(text):
    out = []
    for line in text.split("\n"):
        if line == "/* init_tss declared after struct tss_struct (gcc >= 4) */":
            out.append("extern struct tss_struct init_tss[NR_CPUS];")
        elif re.match(r"extern struct tss_struct init_tss\[NR_CPUS\]; /\* moved here", line):
            continue
        else:
            out.append(line)
    return "\n".join(out)


UNDO = {"generate:kconfig": undo_kconfig, "generate:processor-h": undo_processor_h}


def main():
    platform, manifest, mirror = sys.argv[1:4]
    with open(manifest) as f:
        entries = [l.split() for l in f if l.startswith("sha256 ")]
    for e in entries:
        path, origin, inputs = e[2], e[3], e[4:]
        src = os.path.join(platform, path)
        if origin.startswith("generate:"):
            if origin not in UNDO:
                continue
            dst = os.path.join(mirror, inputs[0])
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            with open(src, encoding="latin-1") as f:
                text = f.read()
            with open(dst, "w", encoding="latin-1") as f:
                f.write(UNDO[origin](text))
        else:
            dst = os.path.join(mirror, origin)
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            shutil.copyfile(src, dst)


if __name__ == "__main__":
    main()
