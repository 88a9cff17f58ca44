#!/usr/bin/env python3
"""Generates the stand-in macOS SDK that the x86_64-apple-darwin cross-build compiles and links
against, from Debian packages only:

  usr/include/            C headers of glibc and the kernel (libc6-dev, linux-libc-dev), with the
                          multiarch folder folded in, and the few Darwin-only headers of include/
                          beside this script (xlocale.h, mach-o/dyld.h)
  usr/include/c++/v1/     libc++ and libc++abi headers (libc++-14-dev, libc++abi-14-dev), with
                          Apple's availability annotations switched back on
  usr/lib/libSystem.tbd   text stub of /usr/lib/libSystem.B.dylib: the kept list of Darwin names
                          (libSystem.symbols beside this script, Mach-O names as they are)
  usr/lib/libc++.tbd      text stub of /usr/lib/libc++.1.dylib: the exports of Debian's
                          libc++.so.1, with libc++abi.so.1's as re-exports
  opt/openssl/            OpenSSL headers (libssl-dev) and a code-less Mach-O libcrypto.3.dylib
                          carrying the exports of Debian's libcrypto.so.3; a real dylib rather
                          than a text stub, because the build's copy step copies it (into a
                          scratch copy of the bundle: code-less, it must never ship)
  opt/p11-kit/include/    the PKCS#11 header (libp11-kit-dev), as p11-kit/pkcs11.h
  opt/nlohmann-json/      the JSON library vellum-host uses (nlohmann-json3-dev): headers only,
                          with its CMake package files

Nothing here runs on a Mac; it only lets the linker prove that every name the module and
vellum-host import exists on macOS and comes from the library the load commands name.

usage: standin_sdk.py --out SDK [--clang CLANG] [--ld LD64] [--nm NM]
The SDK is regenerated only when this script, the kept list or include/ changed since it was made.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
LIBSYSTEM_LIST = os.path.join(HERE, "libSystem.symbols")
# Darwin headers that glibc has no counterpart of, declaring only what the build uses.
DARWIN_HEADERS = os.path.join(HERE, "include")
MULTIARCH = "x86_64-linux-gnu"
LIBCXX_INCLUDE = "/usr/lib/llvm-14/include/c++/v1"
TARGET = "x86_64-macos"
DEPLOYMENT_TARGET = "10.13"
CRYPTO_INSTALL_NAME = "/opt/openssl/lib/libcrypto.3.dylib"
# ELF bookkeeping names that no Mach-O library has.
ELF_ONLY = {"_edata", "_end", "__bss_start", "_init", "_fini"}


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def package_files(package, prefix):
    files = run("dpkg-query", "-L", package).splitlines()
    return [f for f in files if f.startswith(prefix) and os.path.isfile(f)]


def copy(source, target):
    os.makedirs(os.path.dirname(target), exist_ok=True)
    shutil.copyfile(source, target)


def darwin_headers():
    return sorted(os.path.join(top, name) for top, _, names in os.walk(DARWIN_HEADERS)
                  for name in names)


def copy_headers(sdk):
    include = os.path.join(sdk, "usr/include")
    for package in ("libc6-dev", "linux-libc-dev"):
        for path in package_files(package, "/usr/include/"):
            relative = os.path.relpath(path, "/usr/include")
            # Darwin has no multiarch folder: fold it into the include root.
            if relative.startswith(MULTIARCH + "/"):
                relative = relative[len(MULTIARCH) + 1:]
            copy(path, os.path.join(include, relative))
    for package in ("libc++-14-dev", "libc++abi-14-dev"):
        for path in package_files(package, LIBCXX_INCLUDE + "/"):
            copy(path, os.path.join(include, "c++/v1", os.path.relpath(path, LIBCXX_INCLUDE)))
    for path in darwin_headers():
        copy(path, os.path.join(include, os.path.relpath(path, DARWIN_HEADERS)))
    # Debian's libc++ switches Apple's availability annotations off; a Mac's has them on, and
    # they are what rejects library features newer than the deployment target.
    config = os.path.join(include, "c++/v1/__config_site")
    with open(config) as f:
        lines = f.readlines()
    kept = [l for l in lines if "_LIBCPP_HAS_NO_VENDOR_AVAILABILITY_ANNOTATIONS" not in l]
    if len(kept) == len(lines):
        sys.exit("standin_sdk: %s no longer disables the availability annotations" % config)
    with open(config, "w") as f:
        f.writelines(kept)

    openssl = os.path.join(sdk, "opt/openssl/include")
    for path in package_files("libssl-dev", "/usr/include/"):
        relative = os.path.relpath(path, "/usr/include")
        if relative.startswith(MULTIARCH + "/"):
            relative = relative[len(MULTIARCH) + 1:]
        if relative.startswith("openssl/"):
            copy(path, os.path.join(openssl, relative))
    copy("/usr/include/p11-kit-1/p11-kit/pkcs11.h",
         os.path.join(sdk, "opt/p11-kit/include/p11-kit/pkcs11.h"))
    # Its own prefix, not usr/: its package files would otherwise name the SDK's C include folder
    # as an include path of their own, ahead of libc++'s.
    json = os.path.join(sdk, "opt/nlohmann-json")
    for path in package_files("nlohmann-json3-dev", "/usr/include/"):
        copy(path, os.path.join(json, "include", os.path.relpath(path, "/usr/include")))
    for path in package_files("nlohmann-json3-dev", "/usr/share/cmake/"):
        copy(path, os.path.join(json, "share/cmake", os.path.relpath(path, "/usr/share/cmake")))


def exported_names(nm, library):
    names = []
    for line in run(nm, "-D", "--defined-only", library).splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[1] != "A" and fields[2] not in ELF_ONLY:
            names.append(fields[2].split("@")[0])
    if not names:
        sys.exit("standin_sdk: %s exports nothing" % library)
    return sorted(set(names))


def kept_names(path):
    names = []
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                names.append(line)
    return names


def mach_o(names):
    # Mach-O names carry a leading underscore.
    return ["_" + n for n in names]


def tbd_symbols(names):
    return ", ".join("'%s'" % n for n in names)


def write_tbd(path, install_name, version, exports, reexports=()):
    text = ["--- !tapi-tbd", "tbd-version: 4", "targets: [ %s ]" % TARGET,
            "install-name: '%s'" % install_name, "current-version: %s" % version,
            "compatibility-version: 1",
            "exports:", "  - targets: [ %s ]" % TARGET,
            "    symbols: [ %s ]" % tbd_symbols(exports)]
    if reexports:
        text += ["reexports:", "  - targets: [ %s ]" % TARGET,
                 "    symbols: [ %s ]" % tbd_symbols(reexports)]
    text.append("...")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write("\n".join(text) + "\n")


def write_crypto_dylib(sdk, names, clang, ld, work):
    # One label per exported name, all on a single instruction: the linker needs the names, and
    # nothing ever runs this code.
    source = os.path.join(work, "libcrypto.s")
    with open(source, "w") as f:
        f.write(".text\n")
        for name in names:
            f.write(".globl _%s\n_%s:\n" % (name, name))
        f.write("  ud2\n")
    obj = os.path.join(work, "libcrypto.o")
    run(clang, "-target", "x86_64-apple-darwin", "-c", source, "-o", obj)
    lib = os.path.join(sdk, "opt/openssl/lib")
    os.makedirs(lib)
    dylib = os.path.join(lib, "libcrypto.3.dylib")
    run(ld, "-dylib", "-arch", "x86_64",
        "-platform_version", "macos", DEPLOYMENT_TARGET, DEPLOYMENT_TARGET,
        "-install_name", CRYPTO_INSTALL_NAME, "-current_version", "3.0.0",
        "-compatibility_version", "3.0.0", "-o", dylib, obj)
    os.symlink("libcrypto.3.dylib", os.path.join(lib, "libcrypto.dylib"))


def inputs_digest():
    digest = hashlib.sha256()
    for path in [os.path.abspath(__file__), LIBSYSTEM_LIST] + darwin_headers():
        with open(path, "rb") as f:
            digest.update(f.read())
    return digest.hexdigest()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    parser.add_argument("--clang", default="clang-14")
    parser.add_argument("--ld", default="ld64.lld-14")
    parser.add_argument("--nm", default="llvm-nm-14")
    args = parser.parse_args()

    sdk = os.path.abspath(args.out)
    stamp = os.path.join(sdk, ".generated")
    digest = inputs_digest()
    if os.path.exists(stamp) and open(stamp).read().strip() == digest:
        return 0

    parent = os.path.dirname(sdk)
    os.makedirs(parent, exist_ok=True)
    work = tempfile.mkdtemp(prefix=".darwin-sdk-", dir=parent)
    try:
        staging = os.path.join(work, "sdk")
        copy_headers(staging)
        lib = os.path.join(staging, "usr/lib")
        write_tbd(os.path.join(lib, "libSystem.tbd"), "/usr/lib/libSystem.B.dylib", "1281",
                  kept_names(LIBSYSTEM_LIST))
        libcxxabi = exported_names(args.nm, "/usr/lib/%s/libc++abi.so.1" % MULTIARCH)
        libcxx = [n for n in exported_names(args.nm, "/usr/lib/%s/libc++.so.1" % MULTIARCH)
                  if n not in set(libcxxabi)]
        write_tbd(os.path.join(lib, "libc++.tbd"), "/usr/lib/libc++.1.dylib", "1200.3",
                  mach_o(libcxx), mach_o(libcxxabi))
        write_crypto_dylib(staging, exported_names(args.nm, "/usr/lib/%s/libcrypto.so.3" % MULTIARCH),
                           args.clang, args.ld, work)
        with open(os.path.join(staging, ".generated"), "w") as f:
            f.write(digest + "\n")
        if os.path.exists(sdk):
            shutil.rmtree(sdk)
        os.rename(staging, sdk)
    except subprocess.CalledProcessError as e:
        sys.exit("standin_sdk: %s failed:\n%s" % (" ".join(e.cmd), e.stderr))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("stand-in SDK generated in %s" % sdk)
    return 0


if __name__ == "__main__":
    sys.exit(main())
