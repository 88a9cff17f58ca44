#!/usr/bin/env python3
"""Checks the cross-built macOS bundle against the Linux module built from the same tree.

  exports         the Mach-O module exports exactly the Linux module's dynamic symbols
  load-commands   bound two-level; it loads libSystem, libc++ and the
                  bundle's own libcrypto (through @rpath and @loader_path/../Frameworks), and
                  every imported name is bound to one of them
  layout          Contents/Info.plist names the executable in Contents/MacOS/, an x86_64
                  MH_BUNDLE, and says what the Linux build's checked Info.plist says

usage: check_macos_bundle.py CHECK --cross-build DIR --linux-module FILE --info-plist FILE
                             --nm LLVM_NM --objdump LLVM_OBJDUMP
(the bundle is the one vellum.plugin in the cross-build folder)
"""
import argparse
import os
import plistlib
import re
import subprocess
import sys

LOADED_LIBRARIES = {
    "/usr/lib/libSystem.B.dylib": "libSystem",
    "/usr/lib/libc++.1.dylib": "libc++",
    "@rpath/libcrypto.3.dylib": "libcrypto",
}
RUN_PATHS = ["@loader_path/../Frameworks"]


def output(*command):
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("%s failed:\n%s" % (" ".join(command), result.stderr))
    return result.stdout


class Bundle:
    def __init__(self, args):
        self.args = args
        bundles = [os.path.join(top, d) for top, dirs, _ in os.walk(args.cross_build)
                   for d in dirs if d == "vellum.plugin"]
        if len(bundles) != 1:
            sys.exit("expected one vellum.plugin in %s, found %s" % (args.cross_build, bundles))
        self.contents = os.path.join(bundles[0], "Contents")
        with open(os.path.join(self.contents, "Info.plist"), "rb") as f:
            self.info = plistlib.load(f)
        self.executable = os.path.join(self.contents, "MacOS",
                                       str(self.info.get("CFBundleExecutable")))

    def headers(self, path=None):
        return output(self.args.objdump, "--macho", "--private-headers", path or self.executable)


def load_commands(listing):
    """(command, {field: value}) for every load command of an llvm-objdump listing."""
    commands = []
    for block in re.split(r"^Load command \d+$", listing, flags=re.M)[1:]:
        fields = {}
        for line in block.splitlines():
            match = re.match(r"\s*(\w+) (.*?)(?: \(offset \d+\))?$", line)
            if match:
                fields.setdefault(match.group(1), match.group(2).strip())
        commands.append((fields.get("cmd"), fields))
    return commands


def mach_header(listing):
    lines = listing.splitlines()
    for i, line in enumerate(lines):
        if line.split()[:2] == ["magic", "cputype"] and i + 1 < len(lines):
            return dict(zip(["magic", "cputype", "cpusubtype", "caps", "filetype", "ncmds",
                             "sizeofcmds"], lines[i + 1].split()[:7])), lines[i + 1].split()[7:]
    return {}, []


def check_exports(bundle, fail):
    mach_o = output(bundle.args.nm, "-gU", "-j", bundle.executable).split()
    linux = set(output(bundle.args.nm, "-D", "--defined-only", "-j",
                       bundle.args.linux_module).split())
    bad = [name for name in mach_o if not name.startswith("_")]
    if bad:
        fail("Mach-O exports without the leading underscore: %s" % bad)
    darwin = {name[1:] for name in mach_o if name.startswith("_")}
    if not linux:
        fail("the Linux module exports nothing")
    for name in sorted(darwin - linux):
        fail("exported only by the Mach-O module: %s" % name)
    for name in sorted(linux - darwin):
        fail("exported only by the Linux module: %s" % name)
    return "%d exports on both platforms" % len(darwin)


def check_load_commands(bundle, fail):
    listing = bundle.headers()
    _, flags = mach_header(listing)
    if "TWOLEVEL" not in flags or "FORCE_FLAT" in flags:
        fail("not bound two-level: flags %s" % flags)

    commands = load_commands(listing)
    dylibs = [f.get("name") for cmd, f in commands if cmd and "DYLIB" in cmd]
    if sorted(dylibs) != sorted(LOADED_LIBRARIES):
        fail("loads %s, expected exactly %s" % (dylibs, sorted(LOADED_LIBRARIES)))
    weak_or_reexported = [cmd for cmd, _ in commands if cmd and "DYLIB" in cmd and
                          cmd != "LC_LOAD_DYLIB"]
    if weak_or_reexported:
        fail("unexpected library commands %s" % weak_or_reexported)
    paths = [f.get("path") for cmd, f in commands if cmd == "LC_RPATH"]
    if paths != RUN_PATHS:
        fail("run paths %s, expected %s" % (paths, RUN_PATHS))
    if any(cmd == "LC_DYLD_ENVIRONMENT" for cmd, _ in commands):
        fail("the module sets a dyld environment")

    # Every imported name is bound to one of those libraries by ordinal; an import left to a
    # flat-namespace lookup (-undefined dynamic_lookup) shows as "flat-namespace".
    bound = {}
    for table in ("--bind", "--lazy-bind"):
        for line in output(bundle.args.objdump, "--macho", table, bundle.executable).splitlines():
            fields = line.split()
            if len(fields) >= 5 and fields[0].startswith("__"):
                bound.setdefault(fields[-2], []).append(fields[-1])
    if set(bound) - set(LOADED_LIBRARIES.values()):
        fail("imports bound elsewhere: %s" %
             {k: v for k, v in bound.items() if k not in LOADED_LIBRARIES.values()})
    for library in LOADED_LIBRARIES.values():
        if library not in bound:
            fail("nothing is imported from %s, yet it is loaded" % library)

    # The libcrypto that @rpath finds: in Contents/Frameworks, named @rpath/... itself.
    crypto = os.path.join(bundle.contents, "Frameworks", "libcrypto.3.dylib")
    if not os.path.isfile(crypto):
        fail("no Contents/Frameworks/libcrypto.3.dylib for @rpath/libcrypto.3.dylib")
    else:
        ids = [f.get("name") for cmd, f in load_commands(bundle.headers(crypto))
               if cmd == "LC_ID_DYLIB"]
        if ids != ["@rpath/libcrypto.3.dylib"]:
            fail("the bundled libcrypto is named %s" % ids)
    return "loads %s; %d names bound" % (", ".join(dylibs), sum(map(len, bound.values())))


def check_layout(bundle, fail):
    executable = bundle.info.get("CFBundleExecutable")
    macos = os.path.join(bundle.contents, "MacOS")
    present = sorted(os.listdir(macos)) if os.path.isdir(macos) else []
    if present != [executable]:
        fail("Contents/MacOS holds %s, CFBundleExecutable is %r" % (present, executable))
    header, _ = mach_header(bundle.headers())
    if header.get("filetype") != "BUNDLE" or header.get("cputype") != "X86_64":
        fail("Contents/MacOS/%s is not an x86_64 MH_BUNDLE: %s" % (executable, header))
    extra = set(os.listdir(bundle.contents)) - {"Info.plist", "MacOS", "Frameworks"}
    if extra:
        fail("unexpected entries in Contents: %s" % sorted(extra))
    with open(bundle.args.info_plist, "rb") as f:
        checked = plistlib.load(f)
    for key in sorted(set(checked) | set(bundle.info)):
        if checked.get(key) != bundle.info.get(key):
            fail("Info.plist %s: bundle %r, Linux build %r"
                 % (key, bundle.info.get(key), checked.get(key)))
    return "Contents/MacOS/%s, Info.plist with %d keys" % (executable, len(bundle.info))


CHECKS = {"exports": check_exports, "load-commands": check_load_commands, "layout": check_layout}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("check", choices=sorted(CHECKS))
    for option in ("--cross-build", "--linux-module", "--info-plist", "--nm", "--objdump"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    failures = []
    summary = CHECKS[args.check](Bundle(args), failures.append)
    for message in failures:
        print("FAIL: " + message, file=sys.stderr)
    if not failures:
        print("%s: %s" % (args.check, summary))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
