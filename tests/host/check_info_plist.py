#!/usr/bin/env python3
"""Checks the generated Info.plist of the plug-in bundle.

A browser decides from this file alone whether the bundle handles a MIME type and what to call
it, so every key it reads must be present, well typed, and agree with what the module itself
answers. Both are generated from the name, MIME type and version the build declares (the
arguments), and those must still be the texts pages and hosts know the module by.

usage: check_info_plist.py INFO_PLIST NAME MIME_TYPE VERSION BUNDLE_EXECUTABLE
"""
import plistlib
import re
import sys

EXPECTED_MIME_TYPE = "application/x-vnd-vellum-demo"
EXPECTED_NAME = "vellum Plug-in for DEMO"
# getVersion's text. macOS reads CFBundleShortVersionString as three period-separated integers,
# so the fourth part is only in CFBundleVersion.
EXPECTED_VERSION = "1.0.0.49"
EXPECTED_SHORT_VERSION = "1.0.0"

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def main():
    if len(sys.argv) != 6:
        print(__doc__, file=sys.stderr)
        return 2
    plist_path, name, mime_type, version, executable = sys.argv[1:]
    with open(plist_path, "rb") as f:
        info = plistlib.load(f)  # raises on anything that is not a well-formed plist

    # The module is generated from the same declaration, so the bundle and the module tell the
    # browser the same thing as long as the bundle carries the declared texts.
    check(name == EXPECTED_NAME, "the build declares the name %r, not %r" % (name, EXPECTED_NAME))
    check(version == EXPECTED_VERSION,
          "the build declares the version %r, not %r" % (version, EXPECTED_VERSION))
    check(mime_type == EXPECTED_MIME_TYPE,
          "the build declares the MIME type %r, not %r" % (mime_type, EXPECTED_MIME_TYPE))
    check(info.get("WebPluginName") == EXPECTED_NAME,
          "WebPluginName is %r" % info.get("WebPluginName"))
    check(info.get("WebPluginDescription") == EXPECTED_NAME,
          "WebPluginDescription is %r" % info.get("WebPluginDescription"))

    types = info.get("WebPluginMIMETypes")
    check(isinstance(types, dict), "WebPluginMIMETypes is not a dictionary: %r" % types)
    if isinstance(types, dict):
        check(list(types) == [EXPECTED_MIME_TYPE],
              "WebPluginMIMETypes declares %r, not exactly %r" % (list(types), EXPECTED_MIME_TYPE))
        entry = types.get(EXPECTED_MIME_TYPE)
        check(isinstance(entry, dict), "the MIME type's entry is not a dictionary: %r" % entry)
        if isinstance(entry, dict):
            check(entry.get("WebPluginTypeDescription") == EXPECTED_NAME,
                  "WebPluginTypeDescription is %r" % entry.get("WebPluginTypeDescription"))
            check(entry.get("WebPluginExtensions", []) == [],
                  "the module takes no file extensions, yet %r are declared"
                  % entry.get("WebPluginExtensions"))

    # What the loader needs to find and identify the bundle's code.
    check(info.get("CFBundleExecutable") == executable,
          "CFBundleExecutable is %r, the module is built as %r"
          % (info.get("CFBundleExecutable"), executable))
    identifier = info.get("CFBundleIdentifier", "")
    check(re.fullmatch(r"[A-Za-z0-9-]+(\.[A-Za-z0-9-]+)+", identifier or "") is not None,
          "CFBundleIdentifier %r is not a reverse-DNS name" % identifier)
    check(info.get("CFBundlePackageType") == "BRPL",
          "CFBundlePackageType is %r, a browser plug-in is BRPL" % info.get("CFBundlePackageType"))
    check(info.get("CFBundleInfoDictionaryVersion") == "6.0",
          "CFBundleInfoDictionaryVersion is %r" % info.get("CFBundleInfoDictionaryVersion"))
    check(info.get("CFBundleVersion") == version,
          "CFBundleVersion is %r, the project is %r" % (info.get("CFBundleVersion"), version))
    short = info.get("CFBundleShortVersionString")
    check(short == EXPECTED_SHORT_VERSION and re.fullmatch(r"\d+\.\d+\.\d+", short or ""),
          "CFBundleShortVersionString is %r, not %r (three integers)"
          % (short, EXPECTED_SHORT_VERSION))

    # Anything CMake failed to substitute would show up as a placeholder.
    leftovers = [k for k, v in info.items() if isinstance(v, str) and ("@" in v or "${" in v)]
    check(not leftovers, "unsubstituted placeholders in %r" % leftovers)

    for message in failures:
        print("FAIL: " + message, file=sys.stderr)
    if not failures:
        print("Info.plist: %d keys checked, %s %s (%s) declares %s"
              % (len(info), info["WebPluginName"], info["CFBundleShortVersionString"],
                 info["CFBundleVersion"], EXPECTED_MIME_TYPE))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
