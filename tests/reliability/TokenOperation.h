// The three token operations page script can start, each as one script access.
#pragma once

namespace vellum::reliability {

enum class TokenOperation {
    GetCertList,    // invoke getCertList()
    SignCert,       // invoke SignCert()
    ReadSignature,  // read the Signature property
};

// "getCertList", "SignCert", "Signature": the script name, for messages.
const char* scriptName(TokenOperation operation) noexcept;

}  // namespace vellum::reliability
