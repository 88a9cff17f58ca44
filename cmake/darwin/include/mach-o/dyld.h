/* The stand-in SDK's <mach-o/dyld.h>: the one call of Darwin's dynamic loader that vellum-host
 * makes, declared as Darwin declares it. */
#pragma once
#pragma clang system_header

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
int _NSGetExecutablePath(char* buf, uint32_t* bufsize);
#ifdef __cplusplus
}
#endif
