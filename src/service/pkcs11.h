#pragma once

// The published PKCS#11 (Cryptoki) interface. Only the header is used: the token module itself is
// opened with dlopen and entered through its C_GetFunctionList.
#include <p11-kit/pkcs11.h>
