#include "inspection/TokenModuleInspector.h"

#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "inspection/CertificateFactsReader.h"
#include "service/HashMechanisms.h"
#include "service/PKCS11Impl.h"
#include "service/ResidentLibraries.h"
#include "service/pkcs11.h"

namespace vellum::host {
namespace {

std::string status(CK_RV rv) {
    return rv == CKR_OK ? "OK" : PKCS11Impl::getPKCS11ErrorCode(rv);
}

// The blank-padded text fields of the info records.
std::string paddedText(const CK_UTF8CHAR* field, size_t size) {
    std::string text(reinterpret_cast<const char*>(field), size);
    size_t end = text.find_last_not_of(std::string(" \0", 2));
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::string versionText(const CK_VERSION& version) {
    return std::to_string(version.major) + "." + std::to_string(version.minor);
}

struct LibraryCloser {
    void operator()(void* handle) const noexcept {
        // As the plug-in unloads it, so that the plug-in's load after doctor's works alike.
        ResidentLibraries::keepLoaded();
        dlclose(handle);
    }
};

// One attribute's value by the two-call protocol; false when either call fails.
bool readAttribute(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                   CK_ATTRIBUTE_TYPE type, std::vector<unsigned char>& value) {
    CK_ATTRIBUTE attribute = {type, nullptr, 0};
    if (p11->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK ||
        attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
        return false;
    }
    value.assign(attribute.ulValueLen, 0);
    attribute.pValue = value.data();
    if (p11->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK ||
        attribute.ulValueLen > value.size()) {
        return false;
    }
    value.resize(attribute.ulValueLen);
    return true;
}

// Objects matching the template, at most `limit`; "OK" or what failed.
std::string findObjects(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_ATTRIBUTE* attributes,
                        CK_ULONG count, CK_ULONG limit, std::vector<CK_OBJECT_HANDLE>& found) {
    CK_RV rv = p11->C_FindObjectsInit(session, attributes, count);
    if (rv != CKR_OK) {
        return "C_FindObjectsInit failed:" + status(rv);
    }
    found.assign(limit, 0);
    CK_ULONG got = 0;
    rv = p11->C_FindObjects(session, found.data(), limit, &got);
    CK_RV finalRv = p11->C_FindObjectsFinal(session);
    found.resize(rv == CKR_OK && got <= limit ? got : 0);
    if (rv != CKR_OK) {
        return "C_FindObjects failed:" + status(rv);
    }
    return finalRv == CKR_OK ? "OK" : "C_FindObjectsFinal failed:" + status(finalRv);
}

bool publicKeyVisible(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session,
                      std::vector<unsigned char>& id) {
    CK_OBJECT_CLASS keyClass = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE search[] = {{CKA_ID, id.data(), id.size()},
                             {CKA_CLASS, &keyClass, sizeof keyClass}};
    std::vector<CK_OBJECT_HANDLE> found;
    return findObjects(p11, session, search, 2, 1, found) == "OK" && !found.empty();
}

void readCertificates(CK_FUNCTION_LIST* p11, SlotFacts& slot) {
    CK_SESSION_HANDLE session = 0;
    // The session the plug-in opens: serial and read-write.
    CK_RV rv = p11->C_OpenSession(slot.slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                  &session);
    if (rv != CKR_OK) {
        slot.session = "C_OpenSession failed:" + status(rv);
        return;
    }
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE search = {CKA_CLASS, &certificateClass, sizeof certificateClass};
    std::vector<CK_OBJECT_HANDLE> handles;
    slot.search = findObjects(p11, session, &search, 1,
                              TokenModuleInspector::kPluginSearchLimit + 1, handles);
    if (handles.size() > TokenModuleInspector::kPluginSearchLimit) {
        slot.beyondSearchLimit = true;
        handles.resize(TokenModuleInspector::kPluginSearchLimit);
    }
    for (CK_OBJECT_HANDLE handle : handles) {
        std::vector<unsigned char> der;
        CertificateFacts facts;
        if (readAttribute(p11, session, handle, CKA_VALUE, der)) {
            facts = CertificateFactsReader::read(der);
        }
        std::vector<unsigned char> id;
        facts.publicKey =
            readAttribute(p11, session, handle, CKA_ID, id) && publicKeyVisible(p11, session, id);
        slot.certificates.push_back(std::move(facts));
    }
    p11->C_CloseSession(session);
}

SlotFacts inspectSlot(CK_FUNCTION_LIST* p11, CK_SLOT_ID id) {
    SlotFacts slot;
    slot.slot = id;
    CK_SLOT_INFO reader{};
    // A module without slot information: taken as a reader a token can be taken out of.
    slot.removable = p11->C_GetSlotInfo == nullptr || p11->C_GetSlotInfo(id, &reader) != CKR_OK ||
                     (reader.flags & CKF_REMOVABLE_DEVICE) != 0;
    CK_TOKEN_INFO token{};
    // The plug-in never asks for it: a module may leave it out.
    CK_RV rv = p11->C_GetTokenInfo != nullptr ? p11->C_GetTokenInfo(id, &token)
                                              : CKR_FUNCTION_NOT_SUPPORTED;
    slot.tokenInfo = status(rv);
    if (rv == CKR_OK) {
        slot.label = paddedText(token.label, sizeof token.label);
        slot.manufacturer = paddedText(token.manufacturerID, sizeof token.manufacturerID);
        slot.model = paddedText(token.model, sizeof token.model);
        slot.serial = paddedText(token.serialNumber, sizeof token.serialNumber);
        slot.flags.protectedAuthenticationPath =
            (token.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
        slot.flags.loginRequired = (token.flags & CKF_LOGIN_REQUIRED) != 0;
        slot.flags.userPinCountLow = (token.flags & CKF_USER_PIN_COUNT_LOW) != 0;
        slot.flags.userPinFinalTry = (token.flags & CKF_USER_PIN_FINAL_TRY) != 0;
        slot.flags.userPinLocked = (token.flags & CKF_USER_PIN_LOCKED) != 0;
        slot.flags.tokenInitialized = (token.flags & CKF_TOKEN_INITIALIZED) != 0;
    }
    CK_MECHANISM_INFO info{};
    rv = p11->C_GetMechanismInfo(id, CKM_RSA_PKCS, &info);
    slot.rsaPkcs = status(rv);
    slot.rsaSign = rv == CKR_OK && (info.flags & CKF_SIGN) != 0;
    slot.rsaVerify = rv == CKR_OK && (info.flags & CKF_VERIFY) != 0;
    for (const HashMechanisms::Entry& entry : HashMechanisms::kEntries) {
        CK_MECHANISM_INFO hashInfo{};
        bool offered = p11->C_GetMechanismInfo(id, entry.mechanism, &hashInfo) == CKR_OK &&
                       (hashInfo.flags & CKF_SIGN) != 0;
        slot.hashes.push_back({entry.name, entry.mechanism, offered});
    }
    readCertificates(p11, slot);
    return slot;
}

void inspectSlots(CK_FUNCTION_LIST* p11, ModuleFacts& facts) {
    CK_ULONG count = 0;
    CK_RV rv = p11->C_GetSlotList(CK_TRUE, nullptr, &count);
    std::vector<CK_SLOT_ID> slots;
    if (rv == CKR_OK && count > 0) {
        slots.resize(count);
        rv = p11->C_GetSlotList(CK_TRUE, slots.data(), &count);
        slots.resize(rv == CKR_OK && count <= slots.size() ? count : 0);
    }
    facts.slotList = status(rv);
    for (CK_SLOT_ID slot : slots) {
        facts.slots.push_back(inspectSlot(p11, slot));
    }
}

}  // namespace

ModuleFacts TokenModuleInspector::inspect(const std::string& path) {
    ModuleFacts facts;
    facts.path = path;
    dlerror();
    std::unique_ptr<void, LibraryCloser> library(dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL));
    if (!library) {
        const char* error = dlerror();
        facts.error = error != nullptr ? error : "dlopen failed";
        return facts;
    }
    facts.loaded = true;
    auto getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(library.get(), "C_GetFunctionList"));
    if (getFunctionList == nullptr) {
        facts.functionList = "C_GetFunctionList load failed";
        return facts;
    }
    CK_FUNCTION_LIST* p11 = nullptr;
    CK_RV rv = getFunctionList(&p11);
    if (rv != CKR_OK) {
        facts.functionList = "C_GetFunctionList failed:" + status(rv);
        return facts;
    }
    if (p11 == nullptr) {
        facts.functionList = "Function list of pkcs11 is null";
        return facts;
    }
    // Nothing is called through a list that lacks a function the plug-in calls (doctor calls
    // none beyond them but C_GetInfo and C_GetTokenInfo): the plug-in refuses such a list.
    if (const char* missing = PKCS11Impl::missingFunction(*p11)) {
        facts.functionList = std::string(missing) +
                             " is missing from the function list, so the plug-in answers "
                             "\"Function list of pkcs11 is null\"";
        return facts;
    }
    facts.functionList = "OK";
    rv = p11->C_Initialize(nullptr);
    facts.initialize = status(rv);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        return facts;
    }
    CK_INFO info{};
    if (p11->C_GetInfo != nullptr && p11->C_GetInfo(&info) == CKR_OK) {
        facts.haveInfo = true;
        facts.manufacturer = paddedText(info.manufacturerID, sizeof info.manufacturerID);
        facts.description = paddedText(info.libraryDescription, sizeof info.libraryDescription);
        facts.libraryVersion = versionText(info.libraryVersion);
        facts.cryptokiVersion = versionText(info.cryptokiVersion);
    }
    inspectSlots(p11, facts);
    p11->C_Finalize(nullptr);
    return facts;
}

}  // namespace vellum::host
