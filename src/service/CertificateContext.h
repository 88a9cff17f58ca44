#pragma once

#include "service/pkcs11.h"

// The certificate being worked on: found by the certificate search, used by signing. A plain
// record from malloc, one per service object.
struct CertificateContext {
    unsigned char* derData;  // malloc'd, derLength + 1 bytes, or null
    CK_ULONG derLength;      // 0 when no DER bytes are held
    CK_SESSION_HANDLE sessionHandle;
    CK_OBJECT_HANDLE objectHandle;
};
