#pragma once

#include "service/pkcs11.h"

// The hash names page script may write to HashAlgorithm and the signing mechanism each one
// selects. Every other name selects kFallback. Tools that tell which hashes a token offers read
// the same table, so that they ask the token about exactly these mechanism numbers.
class HashMechanisms {
public:
    struct Entry {
        const char* name;
        CK_MECHANISM_TYPE mechanism;
    };

    // SM3 with RSA: not in the published list, handed to the module unchanged.
    static constexpr CK_MECHANISM_TYPE kSm3RsaPkcs = 0x10003;
    static constexpr CK_MECHANISM_TYPE kFallback = CKM_SHA1_RSA_PKCS;

    static constexpr Entry kEntries[] = {
        {"md5", CKM_MD5_RSA_PKCS},
        {"sha1", CKM_SHA1_RSA_PKCS},
        {"sha256", CKM_SHA256_RSA_PKCS},
        {"sm3", kSm3RsaPkcs},
    };
};
