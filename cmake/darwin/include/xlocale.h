/* The stand-in SDK's <xlocale.h>: what libc++'s headers expect of Darwin's C library when they
 * include it for iostreams and <locale>, on top of glibc's <locale.h>. The character class bits
 * are the values of Darwin's <_ctype.h>; the functions are Darwin's per-locale variants that
 * glibc lacks, declared as Darwin declares them. Code that calls one imports its Darwin name,
 * which then has to be on the kept libSystem list like any other. A build against a real macOS
 * SDK uses the real header. */
#pragma once
#pragma clang system_header

#include <locale.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <wchar.h>

#define _CTYPE_A 0x00000100L /* alphabetic */
#define _CTYPE_C 0x00000200L /* control */
#define _CTYPE_D 0x00000400L /* digit */
#define _CTYPE_G 0x00000800L /* graph */
#define _CTYPE_L 0x00001000L /* lower case */
#define _CTYPE_P 0x00002000L /* punctuation */
#define _CTYPE_S 0x00004000L /* space */
#define _CTYPE_U 0x00008000L /* upper case */
#define _CTYPE_X 0x00010000L /* hexadecimal digit */
#define _CTYPE_B 0x00020000L /* blank */
#define _CTYPE_R 0x00040000L /* printable */

#ifdef __cplusplus
extern "C" {
#endif
size_t __mb_cur_max_l(locale_t);
#define MB_CUR_MAX_L(loc) __mb_cur_max_l(loc)
wint_t btowc_l(int, locale_t);
int wctob_l(wint_t, locale_t);
size_t wcsnrtombs_l(char*, const wchar_t**, size_t, size_t, mbstate_t*, locale_t);
size_t wcrtomb_l(char*, wchar_t, mbstate_t*, locale_t);
size_t mbsnrtowcs_l(wchar_t*, const char**, size_t, size_t, mbstate_t*, locale_t);
size_t mbrtowc_l(wchar_t*, const char*, size_t, mbstate_t*, locale_t);
int mbtowc_l(wchar_t*, const char*, size_t, locale_t);
size_t mbrlen_l(const char*, size_t, mbstate_t*, locale_t);
struct lconv* localeconv_l(locale_t);
size_t mbsrtowcs_l(wchar_t*, const char**, size_t, mbstate_t*, locale_t);
int snprintf_l(char*, size_t, locale_t, const char*, ...);
int asprintf_l(char**, locale_t, const char*, ...);
int sscanf_l(const char*, locale_t, const char*, ...);
#ifdef __cplusplus
}
#endif
