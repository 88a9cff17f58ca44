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

/* The constants the binaries pass to dlopen, open and fcntl are numbers compiled in, and glibc's
 * are not Darwin's (RTLD_LOCAL is 0 on Linux, 4 on macOS: a module opened "local" would be
 * opened global, O_CLOEXEC would set some other flag). Darwin's values, from its public
 * <dlfcn.h> and <sys/fcntl.h>: */
#include <dlfcn.h>
#include <fcntl.h>
#undef RTLD_LAZY
#undef RTLD_NOW
#undef RTLD_LOCAL
#undef RTLD_GLOBAL
#undef RTLD_NOLOAD
#undef RTLD_NODELETE
#undef O_CLOEXEC
#undef F_DUPFD_CLOEXEC
#define RTLD_LAZY 0x1
#define RTLD_NOW 0x2
#define RTLD_LOCAL 0x4
#define RTLD_GLOBAL 0x8
#define RTLD_NOLOAD 0x10
#define RTLD_NODELETE 0x80
#define O_CLOEXEC 0x01000000
#define F_DUPFD_CLOEXEC 67

/* Every unit is compiled with what it sees here: this fails the build if any of them were glibc's
 * (O_RDONLY is 0 on both). */
#ifdef __cplusplus
#define VELLUM_DARWIN_CHECK static_assert
#else
#define VELLUM_DARWIN_CHECK _Static_assert
#endif
VELLUM_DARWIN_CHECK(RTLD_LAZY == 0x1 && RTLD_NOW == 0x2 && RTLD_LOCAL == 0x4 &&
                        RTLD_GLOBAL == 0x8 && RTLD_NOLOAD == 0x10 && RTLD_NODELETE == 0x80,
                    "dlopen modes must be Darwin's");
VELLUM_DARWIN_CHECK(O_RDONLY == 0 && O_CLOEXEC == 0x01000000 && F_DUPFD_CLOEXEC == 67,
                    "open and fcntl constants must be Darwin's");
#undef VELLUM_DARWIN_CHECK
