#include "InitialisedSlots.h"

#include <vector>

namespace vellum::pin {
namespace {

// A slot whose token answers C_GetTokenInfo and says it was never initialised. A slot without
// a token (or whose token does not answer) stays: the application asked for it.
bool neverInitialised(CK_FUNCTION_LIST& real, CK_SLOT_ID slot) {
    CK_TOKEN_INFO info{};
    return real.C_GetTokenInfo != nullptr && real.C_GetTokenInfo(slot, &info) == CKR_OK &&
           (info.flags & CKF_TOKEN_INITIALIZED) == 0;
}

}  // namespace

CK_RV InitialisedSlots::list(CK_FUNCTION_LIST& real, CK_BBOOL tokenPresent, CK_SLOT_ID_PTR slots,
                             CK_ULONG_PTR count) {
    if (real.C_GetSlotList == nullptr) {
        return CKR_FUNCTION_NOT_SUPPORTED;
    }
    if (count == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::vector<CK_SLOT_ID> all;
    CK_RV rv = CKR_BUFFER_TOO_SMALL;
    // A token may arrive between the two calls: ask again while the list grows.
    while (rv == CKR_BUFFER_TOO_SMALL) {
        CK_ULONG size = 0;
        rv = real.C_GetSlotList(tokenPresent, nullptr, &size);
        if (rv != CKR_OK) {
            return rv;
        }
        all.resize(size);
        rv = size == 0 ? CKR_OK : real.C_GetSlotList(tokenPresent, all.data(), &size);
        if (rv == CKR_OK) {
            all.resize(size);
        }
    }
    if (rv != CKR_OK) {
        return rv;
    }
    std::vector<CK_SLOT_ID> kept;
    for (CK_SLOT_ID slot : all) {
        if (!neverInitialised(real, slot)) {
            kept.push_back(slot);
        }
    }
    const CK_ULONG room = *count;
    *count = static_cast<CK_ULONG>(kept.size());
    if (slots == nullptr) {
        return CKR_OK;
    }
    if (room < kept.size()) {
        return CKR_BUFFER_TOO_SMALL;
    }
    for (size_t i = 0; i < kept.size(); ++i) {
        slots[i] = kept[i];
    }
    return CKR_OK;
}

}  // namespace vellum::pin
