// The one symbol the PIN module exports.
#include <p11-kit/pkcs11.h>

#include "PinModule.h"

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR list) {
    return vellum::pin::PinModule::instance().getFunctionList(list);
}
