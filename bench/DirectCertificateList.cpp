#include "DirectCertificateList.h"

#include <vector>

#include "CertificateText.h"
#include "DirectModule.h"
#include "DirectSession.h"

namespace vellum::bench {

bool DirectCertificateList::list(std::string& text, std::string& error) const {
    DirectModule module;
    std::vector<CK_SLOT_ID> slots;
    if (!module.open(modulePath_, error) || !module.slotsWithToken(slots, error)) {
        return false;
    }
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &certificateClass, sizeof certificateClass}};
    std::vector<CK_OBJECT_HANDLE> found;
    std::vector<unsigned char> der;
    std::string name;
    std::string serial;
    text.clear();
    for (CK_SLOT_ID slot : slots) {
        text.clear();
        if (!DirectSession::slotCanSign(module.functions(), slot)) {
            continue;
        }
        DirectSession session(module.functions());
        if (!session.open(slot, error) || !session.findObjects(search, 1, 64, found, error)) {
            continue;
        }
        for (CK_OBJECT_HANDLE object : found) {
            if (!session.readAttribute(object, CKA_VALUE, der, error)) {
                continue;
            }
            name.clear();
            serial.clear();
            CertificateText::read(der, &name, serial);
            text += "CN=" + name + "," + serial + ";";
        }
    }
    return true;
}

}  // namespace vellum::bench
