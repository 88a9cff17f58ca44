#!/usr/bin/env python3
"""Checks the macOS cross-build (cmake/darwin/cross-build.sh) against the Linux build of the same
tree, the way a Mac's loader would see it.

  exports         the bundle's module exports exactly the Linux module's dynamic symbols
  load-commands   the module is bound two-level; it loads libSystem, libc++ and libcrypto, the
                  last as @rpath/libcrypto.3.dylib through the one run path
                  @loader_path/../Frameworks, and every imported name is bound to one of them
  layout          Contents/Info.plist names the executable in Contents/MacOS/, an x86_64
                  MH_BUNDLE, and says what the Linux build's checked Info.plist says; nothing
                  else is in the bundle (the stand-in libcrypto must not be)
  copy            the build's libcrypto copy step, run on a scratch copy of the bundle, gives
                  the Contents/Frameworks/libcrypto.3.dylib that the module's @rpath entry
                  finds, named @rpath/libcrypto.3.dylib and exporting every name bound to it
  host            vellum-host is an x86_64 MH_EXECUTE, position-independent, bound two-level,
                  exporting only __mh_execute_header, loading libSystem, libc++ and the
                  bundle's libcrypto through one run path that reaches the bundle's
                  Contents/Frameworks, in the build tree and once installed
  imports         every name the module and vellum-host import from libSystem is on the kept
                  list (cmake/darwin/libSystem.symbols), and none is a glibc spelling that
                  cmake/darwin/glibc_on_darwin.h renames (_stdout for ___stdoutp, ...)

usage: check_macos_cross_build.py CHECK --cross-build DIR --linux-module FILE --info-plist FILE
           --darwin-dir DIR --nm LLVM_NM --objdump LLVM_OBJDUMP --cmake CMAKE
(the bundle is the one vellum.plugin of the cross-build's src/, the program its vellum-host)
"""
import argparse
import filecmp
import os
import plistlib
import re
import subprocess
import sys
import tempfile

CRYPTO = "@rpath/libcrypto.3.dylib"
LOADED_LIBRARIES = {
    "/usr/lib/libSystem.B.dylib": "libSystem",
    "/usr/lib/libc++.1.dylib": "libc++",
    CRYPTO: "libcrypto",
}
BUNDLE_RUN_PATHS = ["@loader_path/../Frameworks"]
HOST_EXPORTS = ["__mh_execute_header"]
# The deployment targets: the browsers' for the module, std::filesystem's for vellum-host.
MODULE_MINIMUM = "10.13"
HOST_MINIMUM = "10.15"


def output(*command):
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("%s failed:\n%s%s" % (" ".join(command), result.stdout, result.stderr))
    return result.stdout


class MachO:
    """What llvm-objdump tells of one Mach-O file."""

    def __init__(self, args, path):
        self.args = args
        self.path = path
        self.listing = output(args.objdump, "--macho", "--private-headers", path)
        self.header, self.flags = mach_header(self.listing)
        self.commands = load_commands(self.listing)

    def fields(self, command):
        return [f for cmd, f in self.commands if cmd == command]

    def dylibs(self):
        return [f.get("name") for cmd, f in self.commands if cmd and "DYLIB" in cmd
                and cmd != "LC_ID_DYLIB"]

    def run_paths(self):
        return [f.get("path") for f in self.fields("LC_RPATH")]

    def minimum_macos(self):
        # Linkers write LC_VERSION_MIN_MACOSX for targets before 10.14, LC_BUILD_VERSION after.
        return ([f.get("version") for f in self.fields("LC_VERSION_MIN_MACOSX")] +
                [f.get("minos") for f in self.fields("LC_BUILD_VERSION")])

    def exports(self):
        return output(self.args.nm, "-gU", "-j", self.path).split()

    def bound(self):
        """{library: [names]} of the bind and lazy-bind tables; an import left to a flat
        namespace lookup (-undefined dynamic_lookup) shows as library "flat-namespace"."""
        bound = {}
        for table in ("--bind", "--lazy-bind"):
            for line in output(self.args.objdump, "--macho", table, self.path).splitlines():
                fields = line.split()
                if len(fields) >= 5 and fields[0].startswith("__"):
                    bound.setdefault(fields[-2], []).append(fields[-1])
        return bound


def mach_header(listing):
    lines = listing.splitlines()
    for i, line in enumerate(lines):
        if line.split()[:2] == ["magic", "cputype"] and i + 1 < len(lines):
            return dict(zip(["magic", "cputype", "cpusubtype", "caps", "filetype", "ncmds",
                             "sizeofcmds"], lines[i + 1].split()[:7])), lines[i + 1].split()[7:]
    return {}, []


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


def resolve(run_path, loader_directory):
    """The folder a run path names for an image in `loader_directory` (a program's own folder
    being its @executable_path), or None when it would depend on who loads the image."""
    for prefix in ("@loader_path", "@executable_path"):
        if run_path == prefix or run_path.startswith(prefix + "/"):
            return os.path.normpath(loader_directory + run_path[len(prefix):])
    return None


class CrossBuild:
    def __init__(self, args):
        self.args = args
        found = [os.path.join(top, d) for top, dirs, _ in os.walk(os.path.join(args.cross_build,
                                                                               "src"))
                 for d in dirs if d == "vellum.plugin"]
        if len(found) != 1:
            sys.exit("expected one vellum.plugin in %s/src, found %s" % (args.cross_build, found))
        self.bundle = found[0]
        self.contents = os.path.join(self.bundle, "Contents")
        with open(os.path.join(self.contents, "Info.plist"), "rb") as f:
            self.info = plistlib.load(f)
        self.executable = os.path.join(self.contents, "MacOS",
                                       str(self.info.get("CFBundleExecutable")))
        self.host = os.path.join(args.cross_build, "host", "vellum-host")

    def module(self):
        return MachO(self.args, self.executable)

    def program(self):
        if not os.path.isfile(self.host):
            sys.exit("no vellum-host in the cross-build: %s" % self.host)
        return MachO(self.args, self.host)


def check_bindings(image, fail):
    """Two-level, no flat lookup, exactly the three libraries, each of them used."""
    if "TWOLEVEL" not in image.flags or "FORCE_FLAT" in image.flags:
        fail("%s is not bound two-level: flags %s" % (image.path, image.flags))
    dylibs = image.dylibs()
    if sorted(dylibs) != sorted(LOADED_LIBRARIES):
        fail("%s loads %s, expected exactly %s" % (image.path, dylibs, sorted(LOADED_LIBRARIES)))
    other = [cmd for cmd, _ in image.commands
             if cmd and "DYLIB" in cmd and cmd not in ("LC_LOAD_DYLIB", "LC_ID_DYLIB")]
    if other:
        fail("%s has unexpected library commands %s" % (image.path, other))
    if image.fields("LC_DYLD_ENVIRONMENT"):
        fail("%s sets a dyld environment" % image.path)
    bound = image.bound()
    stray = {k: v for k, v in bound.items() if k not in LOADED_LIBRARIES.values()}
    if stray:
        fail("%s has imports bound elsewhere: %s" % (image.path, stray))
    for library in LOADED_LIBRARIES.values():
        if library not in bound:
            fail("%s imports nothing from %s, yet loads it" % (image.path, library))
    return bound


def check_exports(build, fail):
    module = build.module()
    mach_o = module.exports()
    linux = set(output(build.args.nm, "-D", "--defined-only", "-j",
                       build.args.linux_module).split())
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


def check_load_commands(build, fail):
    module = build.module()
    bound = check_bindings(module, fail)
    if module.run_paths() != BUNDLE_RUN_PATHS:
        fail("run paths %s, expected %s" % (module.run_paths(), BUNDLE_RUN_PATHS))
    if module.minimum_macos() != [MODULE_MINIMUM]:
        fail("minimum macOS %s, expected %s" % (module.minimum_macos(), MODULE_MINIMUM))
    return "loads %s; %d names bound; run path %s; macOS %s" % (
        ", ".join(module.dylibs()), sum(map(len, bound.values())), ", ".join(module.run_paths()),
        MODULE_MINIMUM)


def check_layout(build, fail):
    executable = build.info.get("CFBundleExecutable")
    macos = os.path.join(build.contents, "MacOS")
    present = sorted(os.listdir(macos)) if os.path.isdir(macos) else []
    if present != [executable]:
        fail("Contents/MacOS holds %s, CFBundleExecutable is %r" % (present, executable))
    module = build.module()
    if module.header.get("filetype") != "BUNDLE" or module.header.get("cputype") != "X86_64":
        fail("Contents/MacOS/%s is not an x86_64 MH_BUNDLE: %s" % (executable, module.header))
    entries = sorted(os.listdir(build.contents))
    if entries != ["Info.plist", "MacOS"]:
        fail("Contents holds %s, expected Info.plist and MacOS only: the stand-in libcrypto "
             "has no code and must not be in a bundle" % entries)
    with open(build.args.info_plist, "rb") as f:
        checked = plistlib.load(f)
    for key in sorted(set(checked) | set(build.info)):
        if checked.get(key) != build.info.get(key):
            fail("Info.plist %s: bundle %r, Linux build %r"
                 % (key, build.info.get(key), checked.get(key)))
    return "Contents/MacOS/%s, Info.plist with %d keys, nothing else" % (executable,
                                                                      len(build.info))


def find_through_run_paths(image, loader_directory, fail):
    """The file the loader would take for @rpath/libcrypto.3.dylib, or None."""
    name = CRYPTO[len("@rpath/"):]
    for run_path in image.run_paths():
        folder = resolve(run_path, loader_directory)
        if folder is None:
            fail("%s: run path %s depends on who loads it" % (image.path, run_path))
        elif os.path.isfile(os.path.join(folder, name)):
            return os.path.join(folder, name)
    return None


def check_crypto_found(image, loader_directory, fail):
    """The libcrypto the run paths find is the bundled one and has every bound name."""
    crypto = find_through_run_paths(image, loader_directory, fail)
    if crypto is None:
        fail("%s: %s found through none of %s" % (image.path, CRYPTO, image.run_paths()))
        return None
    library = MachO(image.args, crypto)
    ids = [f.get("name") for f in library.fields("LC_ID_DYLIB")]
    if ids != [CRYPTO]:
        fail("%s is named %s, not %s" % (crypto, ids, CRYPTO))
    exported = set(library.exports())
    missing = sorted(set(image.bound().get("libcrypto", [])) - exported)
    if missing:
        fail("%s: %d names bound to libcrypto are not in %s: %s"
             % (image.path, len(missing), crypto, missing[:10]))
    return crypto


def check_copy(build, fail):
    scratch = os.path.join(build.args.cross_build, "crypto-copy", "vellum.plugin")
    if not os.path.isdir(scratch):
        fail("no scratch copy of the bundle at %s" % scratch)
        return ""
    # The scratch copy is the bundle plus what the copy step added, and nothing else.
    comparison = filecmp.dircmp(build.bundle, scratch)
    pending = [comparison]
    while pending:
        level = pending.pop()
        if level.left_only or level.diff_files or level.funny_files:
            fail("the scratch copy differs from the bundle in %s: %s"
                 % (level.right, level.left_only + level.diff_files + level.funny_files))
        added = [n for n in level.right_only
                 if os.path.join(level.right, n) != os.path.join(scratch, "Contents",
                                                                 "Frameworks")]
        if added:
            fail("the copy step added %s in %s" % (added, level.right))
        pending.extend(level.subdirs.values())
    frameworks = os.path.join(scratch, "Contents", "Frameworks")
    present = sorted(os.listdir(frameworks)) if os.path.isdir(frameworks) else []
    if present != ["libcrypto.3.dylib"]:
        fail("the copy step left %s in Contents/Frameworks, expected libcrypto.3.dylib only"
             % present)
        return ""
    module = MachO(build.args, os.path.join(scratch, os.path.relpath(build.executable,
                                                                     build.bundle)))
    crypto = check_crypto_found(module, os.path.dirname(module.path), fail)
    return "the scratch copy's module finds %s at %s" % (
        CRYPTO, os.path.relpath(crypto, os.path.dirname(scratch)) if crypto else "nothing")


def check_host(build, fail):
    program = build.program()
    if program.header.get("filetype") != "EXECUTE" or program.header.get("cputype") != "X86_64":
        fail("vellum-host is not an x86_64 MH_EXECUTE: %s" % program.header)
    if "PIE" not in program.flags:
        fail("vellum-host is not position-independent: flags %s" % program.flags)
    if program.minimum_macos() != [HOST_MINIMUM]:
        fail("vellum-host: minimum macOS %s, expected %s"
             % (program.minimum_macos(), HOST_MINIMUM))
    exports = program.exports()
    if exports != HOST_EXPORTS:
        fail("vellum-host exports %d names %s, expected %s"
             % (len(exports), exports[:10], HOST_EXPORTS))
    bound = check_bindings(program, fail)

    # Its one run path reaches the bundle's Contents/Frameworks, where the copy step puts
    # libcrypto: in the build tree, and in a scratch installation of the cross-build.
    frameworks = os.path.join(build.contents, "Frameworks")
    run_paths = program.run_paths()
    if len(run_paths) != 1 or resolve(run_paths[0], os.path.dirname(program.path)) != frameworks:
        fail("vellum-host's run paths %s do not name %s" % (run_paths, frameworks))
    with tempfile.TemporaryDirectory(prefix="vellum-macos-install-") as prefix:
        output(build.args.cmake, "--install", build.args.cross_build, "--prefix", prefix)
        installed = MachO(build.args, os.path.join(prefix, "bin", "vellum-host"))
        bundles = [os.path.join(top, d) for top, dirs, _ in os.walk(prefix)
                   for d in dirs if d == "vellum.plugin"]
        if len(bundles) != 1:
            fail("the installation holds %s, expected one vellum.plugin" % bundles)
            return ""
        installed_frameworks = os.path.join(bundles[0], "Contents", "Frameworks")
        installed_paths = installed.run_paths()
        if len(installed_paths) != 1 or resolve(installed_paths[0], os.path.dirname(
                installed.path)) != installed_frameworks:
            fail("installed vellum-host's run paths %s do not name %s"
                 % (installed_paths, installed_frameworks))
    return "x86_64 executable, macOS %s, exports %s, loads %s; %d names bound; run path %s " \
           "(installed: %s)" % (HOST_MINIMUM, ", ".join(exports), ", ".join(program.dylibs()),
                                sum(map(len, bound.values())), ", ".join(run_paths),
                                ", ".join(installed_paths))


def kept_names(path):
    names = []
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                names.append(line)
    return names


def glibc_spellings(shim):
    """{glibc's Mach-O name: libSystem's} for the names the shim defines anew, e.g.
    {"_stdout": "___stdoutp"}, plus the function behind glibc's errno macro."""
    with open(shim) as f:
        text = f.read()
    renamed = {}
    for name in re.findall(r"^#undef (\w+)$", text, flags=re.M):
        match = re.search(r"^#define %s \(?\*?(\w+)" % name, text, flags=re.M)
        if match:
            renamed["_" + name] = "_" + match.group(1)
    if not renamed:
        sys.exit("%s renames nothing: the check would prove nothing" % shim)
    renamed["___errno_location"] = renamed.get("_errno", "___error")
    return renamed


def check_imports(build, fail):
    kept = set(kept_names(os.path.join(build.args.darwin_dir, "libSystem.symbols")))
    renamed = glibc_spellings(os.path.join(build.args.darwin_dir, "glibc_on_darwin.h"))
    for name in sorted(kept & set(renamed)):
        fail("libSystem.symbols keeps %s, glibc's spelling of %s" % (name, renamed[name]))
    counts = []
    for label, image in (("module", build.module()), ("vellum-host", build.program())):
        bound = image.bound()
        imports = set(bound.get("libSystem", []))
        counts.append("%s %d" % (label, len(imports)))
        for name in sorted(imports & set(renamed)):
            fail("%s imports %s, glibc's spelling: libSystem has %s" % (label, name,
                                                                         renamed[name]))
        for name in sorted(imports - kept):
            fail("%s imports %s from libSystem, which is not on the kept list" % (label, name))
        # glibc's asm labels name C functions without Mach-O's underscore.
        every = [n for names in bound.values() for n in names]
        for name in sorted({n for n in every if not n.startswith("_") and n != "dyld_stub_binder"}):
            fail("%s imports %s: a C name without Mach-O's leading underscore" % (label, name))
    return "libSystem names imported: %s, all on the kept list of %d; none of glibc's %s" % (
        ", ".join(counts), len(kept), ", ".join(sorted(renamed)))


CHECKS = {"exports": check_exports, "load-commands": check_load_commands, "layout": check_layout,
          "copy": check_copy, "host": check_host, "imports": check_imports}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("check", choices=sorted(CHECKS))
    for option in ("--cross-build", "--linux-module", "--info-plist", "--darwin-dir", "--nm",
                   "--objdump", "--cmake"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    failures = []
    summary = CHECKS[args.check](CrossBuild(args), failures.append)
    for message in failures:
        print("FAIL: " + message, file=sys.stderr)
    if not failures:
        print("%s: %s" % (args.check, summary))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
