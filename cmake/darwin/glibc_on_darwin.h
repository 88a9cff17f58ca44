/* Forced into every C++ unit of the macOS cross-build only (-include), where the C headers are
 * glibc's. Two of glibc's spellings are wrong for Mach-O and would name functions that macOS's
 * libSystem does not have; this mends them before anything else includes those headers. A build
 * against a real macOS SDK needs none of it. */
#pragma clang system_header

/* glibc's <ctype.h> makes isdigit_l and its kin macros that read glibc's own locale structure;
 * Darwin's are plain functions of libSystem. */
#define __NO_CTYPE 1

/* Darwin's C headers define this (<Availability.h>); libraries test it for what the deployment
 * target offers. */
#define __MAC_OS_X_VERSION_MIN_REQUIRED __ENVIRONMENT_MAC_OS_X_VERSION_MIN_REQUIRED__

/* glibc names its C++ overloads of memchr, strchr and their kin with asm labels, which Mach-O
 * takes verbatim: "memchr" where the C symbol is "_memchr". */
#define __asm(label) __asm__("_" label)
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <wchar.h>
#undef __asm

/* The standard streams and errno are reached through other names on Darwin. */
#include <errno.h>
#include <stdio.h>
#undef stdin
#undef stdout
#undef stderr
#undef errno
#ifdef __cplusplus
extern "C" {
#endif
extern FILE* __stdinp;
extern FILE* __stdoutp;
extern FILE* __stderrp;
extern int* __error(void);
#ifdef __cplusplus
}
#endif
#define stdin __stdinp
#define stdout __stdoutp
#define stderr __stderrp
#define errno (*__error())
