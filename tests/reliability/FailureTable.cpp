#include "FailureTable.h"

namespace vellum::reliability {
namespace {

bool isSearch(const std::string& name) {
    return name == "C_FindObjectsInit" || name == "C_FindObjects" || name == "C_FindObjectsFinal";
}

// The start of every operation: load, initialise, probe for a token.
bool isInitialization(const FailedCall& call) {
    return call.name == "C_GetFunctionList" || call.name == "C_Initialize" ||
           (call.name == "C_GetSlotList" && call.occurrence == 1);
}

ExpectedEffect ofGetCertList(const FailedCall& call) {
    const std::string failed = call.name + " failed:";
    if (call.name == "C_GetSlotList" || call.name == "C_GetFunctionList" ||
        call.name == "C_Initialize") {
        return {Effect::Fails, failed};
    }
    if (call.name == "C_GetMechanismInfo") {
        return {Effect::FailsBare, ""};
    }
    if (call.name == "C_OpenSession") {
        return {Effect::SkipsSlot, ""};
    }
    if (isSearch(call.name)) {
        return {Effect::SkipsSlot, failed};
    }
    if (call.name == "C_GetAttributeValue") {
        return {Effect::SkipsObject, "Load cert C_GetAttributeValue failed:"};
    }
    return {Effect::Ignored, ""};  // C_CloseSession, C_Finalize
}

// The certificate search shared by SignCert and signing (before any login).
ExpectedEffect ofCertificateSearch(const FailedCall& call) {
    if (call.name == "C_GetSlotList") {
        return {Effect::Fails,
                call.occurrence == 2 ? "C_GetSlotList1 failed:" : "C_GetSlotList2 failed:"};
    }
    if (call.name == "C_GetAttributeValue") {
        return {Effect::SkipsObject, "Load cert C_GetAttributeValue failed:"};
    }
    if (call.name == "C_GetMechanismInfo" || call.name == "C_OpenSession" || isSearch(call.name)) {
        return {Effect::FailsPlain, "CN not matched"};
    }
    return {Effect::Ignored, ""};  // C_CloseSession, C_Finalize
}

ExpectedEffect ofSignCert(const FailedCall& call) {
    if (isInitialization(call)) {
        return {Effect::LeavesLoaded, call.name + " failed:"};
    }
    return ofCertificateSearch(call);
}

ExpectedEffect ofSignature(const FailedCall& call) {
    if (isInitialization(call)) {
        return {Effect::FailsPlain, "initialize failed:"};
    }
    if (call.name == "C_Login") {
        return {Effect::Fails, "C_Login failed:"};
    }
    if (!call.afterLogin) {
        return ofCertificateSearch(call);
    }
    if (call.name == "C_GetAttributeValue") {
        return {Effect::Fails, "Find key C_GetAttributeValue failed:"};
    }
    if (call.name == "C_SignFinal") {
        return {Effect::Fails,
                call.occurrence == 1 ? "C_SignFinal1 failed:" : "C_SignFinal2 failed:"};
    }
    if (call.name == "C_CloseSession" || call.name == "C_Finalize") {
        return {Effect::Ignored, ""};
    }
    return {Effect::Fails,
            call.name + " failed:"};  // key search, C_SignInit, C_SignUpdate, C_Logout
}

}  // namespace

ExpectedEffect FailureTable::of(TokenOperation operation, const FailedCall& call) {
    switch (operation) {
        case TokenOperation::GetCertList:
            return ofGetCertList(call);
        case TokenOperation::SignCert:
            return ofSignCert(call);
        case TokenOperation::ReadSignature:
            return ofSignature(call);
    }
    return {Effect::Ignored, ""};
}

std::vector<std::string> FailureTable::faultFreeCalls(TokenOperation operation,
                                                      bool chosenReturnedFirst) {
    std::vector<std::string> calls = {
        "C_GetFunctionList", "C_Initialize",       "C_GetSlotList", "C_GetSlotList",
        "C_GetSlotList",     "C_GetMechanismInfo", "C_OpenSession", "C_FindObjectsInit",
        "C_FindObjects",     "C_FindObjectsFinal"};
    // Length, then value, of each certificate read.
    const int certificatesRead =
        operation != TokenOperation::GetCertList && chosenReturnedFirst ? 1 : 2;
    calls.insert(calls.end(), 2 * certificatesRead, "C_GetAttributeValue");
    if (operation == TokenOperation::ReadSignature) {
        calls.insert(calls.end(),
                     {"C_Login", "C_GetAttributeValue", "C_GetAttributeValue", "C_FindObjectsInit",
                      "C_FindObjects", "C_FindObjectsFinal", "C_SignInit", "C_SignUpdate",
                      "C_SignFinal", "C_SignFinal", "C_Logout"});
    }
    calls.insert(calls.end(), {"C_CloseSession", "C_Finalize"});
    return calls;
}

}  // namespace vellum::reliability
