// C_GetSlotList as the PIN module answers it: the token module's slots without those whose
// token was never initialised (CKF_TOKEN_INITIALIZED unset). Such a token holds no object and
// takes no login, yet a slot list shows it: SoftHSM2 always keeps one after its tokens, and the
// plug-in, which lists the last slot with a token, would list that empty one and nothing else.
#pragma once

#include <p11-kit/pkcs11.h>

namespace vellum::pin {

class InitialisedSlots {
public:
    // PKCS#11's C_GetSlotList over `real`'s list: `slots` null asks the count; a `count` too
    // small for the list gives CKR_BUFFER_TOO_SMALL and the count needed.
    static CK_RV list(CK_FUNCTION_LIST& real, CK_BBOOL tokenPresent, CK_SLOT_ID_PTR slots,
                      CK_ULONG_PTR count);
};

}  // namespace vellum::pin
