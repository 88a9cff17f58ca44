// Feeds arbitrary bytes to X509Helper and checks, for output sizes 0 to 600 taken from the input,
// that no getter writes past the size it is given and that what it writes keeps its form. The
// same bytes go to SignatureVerifier, whose own walk to the key must agree with OpenSSL's parse.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <openssl/objects.h>
#include <openssl/x509.h>

#include "x509/SignatureVerifier.h"
#include "x509/X509Helper.h"

namespace {

constexpr int kMaxSize = 600;
constexpr int kNameLimit = 512;
constexpr int kGuard = 64;
constexpr char kFill = '\xA5';

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

// The caller's buffer of `size` bytes and a guard region behind it, all pre-filled.
class GuardedBuffer {
public:
    explicit GuardedBuffer(int size)
        : size_(size), bytes_(static_cast<size_t>(size + kGuard), kFill) {}
    char* data() { return bytes_.data(); }
    int size() const { return size_; }
    char at(int i) const { return bytes_[static_cast<size_t>(i)]; }
    bool untouchedFrom(int offset) const {
        for (size_t i = static_cast<size_t>(offset); i < bytes_.size(); ++i) {
            if (bytes_[i] != kFill) {
                return false;
            }
        }
        return true;
    }

private:
    int size_;
    std::vector<char> bytes_;
};

// Sizes come from the input's last bytes: parsing ignores bytes after the certificate, so a real
// certificate stays a valid seed while its tail steers the sizes.
int sizeFrom(const uint8_t* data, size_t len, size_t which) {
    if (len < which + 2) {
        return static_cast<int>((which * 211 + len) % (kMaxSize + 1));
    }
    const unsigned value = data[len - 1 - which] | (data[len - 2 - which] << 8);
    return static_cast<int>(value % (kMaxSize + 1));
}

using NameGetter = bool (X509Helper::*)(char*, int);

void checkName(X509Helper& helper, NameGetter getter, bool loaded, int size) {
    GuardedBuffer reference(kNameLimit);
    GuardedBuffer buf(size);
    const bool ok = (helper.*getter)(buf.data(), buf.size());
    FUZZ_CHECK(ok == loaded);
    if (!ok) {
        FUZZ_CHECK(buf.untouchedFrom(0));
        return;
    }
    // Exactly min(size, 512) bytes, and a full buffer ends in a NUL. (A value may itself hold
    // NUL bytes, so nothing is said of the bytes between.)
    const int written = size < kNameLimit ? size : kNameLimit;
    FUZZ_CHECK(buf.untouchedFrom(written));
    FUZZ_CHECK(written < kNameLimit || buf.at(kNameLimit - 1) == '\0');
    // A smaller buffer gets a prefix of what a full one gets.
    FUZZ_CHECK((helper.*getter)(reference.data(), reference.size()));
    FUZZ_CHECK(std::memcmp(reference.data(), buf.data(), static_cast<size_t>(written)) == 0);

    GuardedBuffer none(0);
    FUZZ_CHECK((helper.*getter)(none.data(), -1));
    FUZZ_CHECK(none.untouchedFrom(0));
}

bool isUpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

void checkSerial(X509Helper& helper, bool loaded, int size) {
    GuardedBuffer buf(size);
    const bool ok = helper.GetSerialNumber(buf.data(), buf.size());
    FUZZ_CHECK(!ok || loaded);
    if (!ok) {
        FUZZ_CHECK(buf.untouchedFrom(0));
        return;
    }
    // An even number of upper-case hex digits and a NUL, all inside the buffer.
    int digits = 0;
    while (digits < size && buf.at(digits) != '\0') {
        FUZZ_CHECK(isUpperHex(buf.at(digits)));
        ++digits;
    }
    FUZZ_CHECK(digits < size && digits % 2 == 0);
    FUZZ_CHECK(buf.untouchedFrom(digits + 1));
    // One byte less than digits and NUL need must fail and leave the buffer alone.
    GuardedBuffer tight(digits);
    FUZZ_CHECK(!helper.GetSerialNumber(tight.data(), tight.size()));
    FUZZ_CHECK(tight.untouchedFrom(0));
}

void checkAll(X509Helper& helper, bool loaded, const uint8_t* data, size_t len) {
    checkName(helper, &X509Helper::GetSubjectName, loaded, sizeFrom(data, len, 0));
    checkName(helper, &X509Helper::GetIssuerName, loaded, sizeFrom(data, len, 1));
    checkSerial(helper, loaded, sizeFrom(data, len, 2));
    GuardedBuffer none(0);
    FUZZ_CHECK(!helper.GetSerialNumber(none.data(), -1));
    FUZZ_CHECK(none.untouchedFrom(0));
}

// Wherever OpenSSL parses the bytes as a certificate, the check skips an SM3 signature exactly
// when the certificate's key is not RSA, and never skips one of an RSA mechanism; and nothing it
// is given verifies (the data is no message signed).
void checkVerifier(const std::vector<unsigned char>& der) {
    const SignatureVerifier verifier(der.data(), der.size());
    const SignatureVerifier::Verdict verdict = verifier.verify(
        SignatureVerifier::Digest::Sha256, der.data(), der.size(), der.data(), der.size());
    FUZZ_CHECK(verdict == SignatureVerifier::Verdict::Invalid);
    const SignatureVerifier::Verdict sm3 = verifier.verify(
        SignatureVerifier::Digest::Sm3, der.data(), der.size(), der.data(), der.size());
    FUZZ_CHECK(sm3 != SignatureVerifier::Verdict::Verified);
    const unsigned char* cursor = der.data();
    X509* cert = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
    if (cert == nullptr) {
        return;
    }
    ASN1_OBJECT* algorithm = nullptr;
    const bool named = X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr,
                                              X509_get_X509_PUBKEY(cert)) == 1;
    const int nid = named ? OBJ_obj2nid(algorithm) : NID_undef;
    const bool rsa = nid == NID_rsaEncryption || nid == NID_rsassaPss;
    X509_free(cert);
    FUZZ_CHECK(!named || (sm3 == SignatureVerifier::Verdict::Unchecked) == !rsa);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) {
        return 0;
    }
    // An exact-size copy, so reads past the end are caught, and the reader may take non-const.
    std::vector<unsigned char> der(data, data + size);
    const int len = static_cast<int>(size);

    X509Helper helper;
    const bool loaded = helper.loadDERCert(der.empty() ? nullptr : der.data(), len);
    checkAll(helper, loaded, data, size);

    // Reloading the same object with a prefix replaces or clears what it held.
    const bool reloaded = helper.loadDERCert(der.empty() ? nullptr : der.data(), len / 2);
    checkAll(helper, reloaded, data, size);

    checkVerifier(der);
    return 0;
}
