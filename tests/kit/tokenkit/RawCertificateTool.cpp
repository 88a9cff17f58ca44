// vellum-tokenkit-rawcert: stores arbitrary bytes as the CKA_VALUE of an X.509 certificate
// object, which pkcs11-tool refuses to do for bytes that do not parse. Used by TokenKit for
// tests of certificates that cannot be read.
//
//   vellum-tokenkit-rawcert --module M --token-label L --pin P --id HEX --label NAME FILE
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: vellum-tokenkit-rawcert --module M --token-label L --pin P --id HEX "
                 "--label NAME FILE\n");
    return 2;
}

int failed(const char* call, CK_RV rv) {
    std::fprintf(stderr, "%s failed: 0x%lX\n", call, rv);
    return 1;
}

bool hexBytes(const std::string& hex, std::vector<unsigned char>& bytes) {
    if (hex.empty() || hex.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        std::string pair = hex.substr(i, 2);
        unsigned long value = std::strtoul(pair.c_str(), &end, 16);
        if (end == nullptr || *end != '\0') {
            return false;
        }
        bytes.push_back(static_cast<unsigned char>(value));
    }
    return true;
}

// The token label as PKCS#11 pads it: 32 bytes, blank-filled.
bool sameLabel(const CK_UTF8CHAR* padded, const std::string& label) {
    std::string text(reinterpret_cast<const char*>(padded), 32);
    size_t end = text.find_last_not_of(' ');
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text == label;
}

// Everything between C_Initialize and C_Finalize.
int store(CK_FUNCTION_LIST* p11, const std::map<std::string, std::string>& options,
          std::vector<unsigned char>& value, std::vector<unsigned char>& id) {
    CK_ULONG count = 0;
    CK_RV rv = p11->C_GetSlotList(CK_TRUE, nullptr, &count);
    std::vector<CK_SLOT_ID> slots(count);
    if (rv == CKR_OK && count > 0) {
        rv = p11->C_GetSlotList(CK_TRUE, slots.data(), &count);
        slots.resize(count);
    }
    if (rv != CKR_OK) {
        return failed("C_GetSlotList", rv);
    }
    const std::string& tokenLabel = options.at("--token-label");
    for (CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info{};
        if (p11->C_GetTokenInfo(slot, &info) != CKR_OK || !sameLabel(info.label, tokenLabel)) {
            continue;
        }
        CK_SESSION_HANDLE session = 0;
        rv = p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                &session);
        if (rv != CKR_OK) {
            return failed("C_OpenSession", rv);
        }
        std::string pin = options.at("--pin");
        rv =
            p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size());
        if (rv != CKR_OK) {
            p11->C_CloseSession(session);
            return failed("C_Login", rv);
        }
        std::string label = options.at("--label");
        CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
        CK_CERTIFICATE_TYPE certType = CKC_X_509;
        CK_BBOOL yes = CK_TRUE;
        CK_BBOOL no = CK_FALSE;
        // The subject is required at creation; an empty Name is the honest one here.
        unsigned char emptyName[] = {0x30, 0x00};
        CK_ATTRIBUTE attributes[] = {
            {CKA_CLASS, &certClass, sizeof certClass},
            {CKA_CERTIFICATE_TYPE, &certType, sizeof certType},
            {CKA_TOKEN, &yes, sizeof yes},
            {CKA_PRIVATE, &no, sizeof no},
            {CKA_ID, id.data(), id.size()},
            {CKA_LABEL, label.data(), label.size()},
            {CKA_SUBJECT, emptyName, sizeof emptyName},
            {CKA_VALUE, value.data(), value.size()},
        };
        CK_OBJECT_HANDLE object = 0;
        rv = p11->C_CreateObject(session, attributes, sizeof attributes / sizeof attributes[0],
                                 &object);
        p11->C_Logout(session);
        p11->C_CloseSession(session);
        return rv == CKR_OK ? 0 : failed("C_CreateObject", rv);
    }
    std::fprintf(stderr, "no token labelled %s\n", tokenLabel.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> options;
    std::string file;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.compare(0, 2, "--") == 0 && i + 1 < argc) {
            options[arg] = argv[++i];
        } else if (file.empty()) {
            file = arg;
        } else {
            return usage();
        }
    }
    for (const char* required : {"--module", "--token-label", "--pin", "--id", "--label"}) {
        if (options.count(required) == 0) {
            return usage();
        }
    }
    std::vector<unsigned char> id;
    if (file.empty() || !hexBytes(options["--id"], id)) {
        return usage();
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return 1;
    }
    std::vector<unsigned char> value((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (value.empty()) {
        std::fprintf(stderr, "%s is empty\n", file.c_str());
        return 1;
    }

    void* module = dlopen(options["--module"].c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    CK_FUNCTION_LIST* p11 = nullptr;
    CK_RV rv = getList != nullptr ? getList(&p11) : CKR_GENERAL_ERROR;
    int status = 1;
    if (rv != CKR_OK || p11 == nullptr) {
        status = failed("C_GetFunctionList", rv);
    } else if ((rv = p11->C_Initialize(nullptr)) != CKR_OK) {
        status = failed("C_Initialize", rv);
    } else {
        status = store(p11, options, value, id);
        p11->C_Finalize(nullptr);
    }
    dlclose(module);
    return status;
}
