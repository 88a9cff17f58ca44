#include "TokenOperation.h"

namespace vellum::reliability {

const char* scriptName(TokenOperation operation) noexcept {
    switch (operation) {
        case TokenOperation::GetCertList:
            return "getCertList";
        case TokenOperation::SignCert:
            return "SignCert";
        case TokenOperation::ReadSignature:
            return "Signature";
    }
    return "?";
}

}  // namespace vellum::reliability
