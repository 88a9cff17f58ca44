// The one symbol the forwarding module exports.
#include <p11-kit/pkcs11.h>

#include "ForwardingModule.h"

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR list) {
    return vellum::p11fwd::ForwardingModule::instance().getFunctionList(list);
}
