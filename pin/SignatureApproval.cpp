#include "SignatureApproval.h"

#include <cstring>

namespace vellum::pin {
namespace {

struct HashEntry {
    const char* name;
    CK_MECHANISM_TYPE mechanism;
};

// SM3 with RSA is a vendor mechanism, not in the published list.
constexpr HashEntry kHashes[] = {
    {"md5", CKM_MD5_RSA_PKCS},
    {"sha1", CKM_SHA1_RSA_PKCS},
    {"sha256", CKM_SHA256_RSA_PKCS},
    {"sm3", 0x10003},
};
constexpr const char* kFallbackHash = "sha1";

}  // namespace

CK_MECHANISM_TYPE SignatureApproval::mechanismFor(const std::string& hash) {
    for (const HashEntry& entry : kHashes) {
        if (hash == entry.name) {
            return entry.mechanism;
        }
    }
    return CKM_SHA1_RSA_PKCS;
}

std::string SignatureApproval::hashShown(const std::string& hash) {
    for (const HashEntry& entry : kHashes) {
        if (hash == entry.name) {
            return entry.name;
        }
    }
    return kFallbackHash;
}

bool SignatureApproval::begin(const CK_MECHANISM* mechanism) {
    if (begun_ || mechanism == nullptr || mechanism->mechanism != mechanism_) {
        return false;
    }
    begun_ = true;
    return true;
}

bool SignatureApproval::takes(const unsigned char* data, CK_ULONG length) {
    if (!whole(data, length)) {
        return false;
    }
    passed_ = true;
    return true;
}

bool SignatureApproval::whole(const unsigned char* data, CK_ULONG length) const {
    return begun_ && !passed_ && length == text_.size() && (data != nullptr || length == 0) &&
           (length == 0 || std::memcmp(text_.data(), data, length) == 0);
}

}  // namespace vellum::pin
