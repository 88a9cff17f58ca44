#include "DirectSignature.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "CertificateText.h"
#include "DirectModule.h"
#include "DirectSession.h"

namespace vellum::bench {
namespace {

// How the plug-in searches: up to 64 certificate objects per slot.
constexpr CK_ULONG kCertificatesPerSlot = 64;

std::string envelopeOf(const std::vector<unsigned char>& signature) {
    static const char kDigits[] = "0123456789ABCDEF";
    char head[32];
    std::snprintf(head, sizeof head, "US%d:%08zu", 65001, 2 * signature.size());
    std::string text(head);
    text.reserve(text.size() + 2 * signature.size());
    for (unsigned char byte : signature) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0xF]);
    }
    return text;
}

// Opens a session on each signing slot in turn and leaves open the one whose certificate has
// the serial number; `certificate` is then that object.
std::unique_ptr<DirectSession> findCertificate(DirectModule& module, const std::string& serial,
                                               CK_OBJECT_HANDLE& certificate, std::string& error) {
    std::vector<CK_SLOT_ID> slots;
    if (!module.slotsWithToken(slots, error)) {
        return nullptr;
    }
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &certificateClass, sizeof certificateClass}};
    std::vector<CK_OBJECT_HANDLE> found;
    std::vector<unsigned char> der;
    std::string text;
    for (CK_SLOT_ID slot : slots) {
        if (!DirectSession::slotCanSign(module.functions(), slot)) {
            continue;
        }
        auto session = std::make_unique<DirectSession>(module.functions());
        if (!session->open(slot, error) ||
            !session->findObjects(search, 1, kCertificatesPerSlot, found, error)) {
            continue;
        }
        for (CK_OBJECT_HANDLE object : found) {
            if (session->readAttribute(object, CKA_VALUE, der, error) &&
                CertificateText::read(der, nullptr, text) && text == serial) {
                certificate = object;
                return session;
            }
        }
    }
    error = "no certificate with the serial number " + serial;
    return nullptr;
}

}  // namespace

bool DirectSignature::sign(const std::string& data, std::string& envelope,
                           std::string& error) const {
    std::vector<unsigned char> signature;
    if (!signOnToken(data, signature, error)) {
        return false;
    }
    envelope = envelopeOf(signature);
    return true;
}

bool DirectSignature::signOnToken(const std::string& data, std::vector<unsigned char>& signature,
                                  std::string& error) const {
    // Declared in this order so that the session closes before the module is finalised.
    DirectModule module;
    if (!module.open(settings_.modulePath, error)) {
        return false;
    }
    CK_OBJECT_HANDLE certificate = CK_INVALID_HANDLE;
    std::unique_ptr<DirectSession> session =
        findCertificate(module, settings_.serial, certificate, error);
    if (!session || !session->login(settings_.pin, error)) {
        return false;
    }
    std::vector<unsigned char> id;
    std::vector<CK_OBJECT_HANDLE> keys;
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    bool signedData = false;
    if (session->readAttribute(certificate, CKA_ID, id, error)) {
        CK_ATTRIBUTE search[] = {{CKA_ID, id.data(), id.size()},
                                 {CKA_CLASS, &keyClass, sizeof keyClass}};
        signedData = session->findObjects(search, 2, 1, keys, error) &&
                     session->sign(settings_.mechanism, keys[0], data, signature, error);
    }
    std::string logoutError;
    bool loggedOut = session->logout(logoutError);
    if (signedData && !loggedOut) {
        error = logoutError;
    }
    return signedData && loggedOut;
}

}  // namespace vellum::bench
