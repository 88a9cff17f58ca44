#include "tokenkit/OpensslCheck.h"

#include <fstream>
#include <iterator>
#include <vector>

#include "tokenkit/Subprocess.h"

namespace vellum::tokenkit {
namespace {

bool writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// False on an odd length or a character that is not a hexadecimal digit.
bool bytesOfHex(const std::string& hex, std::string& bytes) {
    if (hex.size() % 2 != 0) {
        return false;
    }
    bytes.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = hexDigit(hex[i]);
        int low = hexDigit(hex[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return true;
}

bool fail(std::string* why, const std::string& text) {
    if (why != nullptr) {
        *why = text;
    }
    return false;
}

}  // namespace

std::string OpensslCheck::base64(const std::string& path) {
    const std::vector<std::string> argv = {"openssl", "base64", "-A", "-in", path};
    ProcessResult result = Subprocess::run(argv);
    if (!result.succeeded()) {
        return "(" + Subprocess::describe(argv, result) + ")";
    }
    return result.output;
}

bool OpensslCheck::verifies(const std::string& certificatePem, const std::string& digest,
                            const std::string& data, const std::string& hexSignature,
                            const std::string& workDirectory, std::string* why) {
    std::string signature;
    if (!bytesOfHex(hexSignature, signature)) {
        return fail(why, "not a hexadecimal signature: " + hexSignature);
    }
    const std::string publicKey = workDirectory + "/openssl-check-public.pem";
    const std::string dataFile = workDirectory + "/openssl-check-data.bin";
    const std::string signatureFile = workDirectory + "/openssl-check-signature.bin";
    if (!writeBytes(dataFile, data) || !writeBytes(signatureFile, signature)) {
        return fail(why, "cannot write the scratch files in " + workDirectory);
    }
    const std::vector<std::string> extract = {"openssl", "x509",   "-in",  certificatePem,
                                              "-pubkey", "-noout", "-out", publicKey};
    ProcessResult extracted = Subprocess::run(extract);
    if (!extracted.succeeded()) {
        return fail(why, Subprocess::describe(extract, extracted));
    }
    const std::vector<std::string> verify = {"openssl", "dgst",       "-" + digest,  "-verify",
                                             publicKey, "-signature", signatureFile, dataFile};
    ProcessResult verified = Subprocess::run(verify);
    if (!verified.succeeded()) {
        return fail(why, Subprocess::describe(verify, verified));
    }
    return true;
}

std::string OpensslCheck::signature(const std::string& privateKeyPem, const std::string& digest,
                                    const std::string& data, const std::string& workDirectory,
                                    std::string* why) {
    const std::string dataFile = workDirectory + "/openssl-sign-data.bin";
    const std::string signatureFile = workDirectory + "/openssl-sign-signature.bin";
    if (!writeBytes(dataFile, data)) {
        fail(why, "cannot write the scratch files in " + workDirectory);
        return std::string();
    }
    const std::vector<std::string> sign = {"openssl",     "dgst", "-" + digest,  "-sign",
                                           privateKeyPem, "-out", signatureFile, dataFile};
    ProcessResult signedData = Subprocess::run(sign);
    if (!signedData.succeeded()) {
        fail(why, Subprocess::describe(sign, signedData));
        return std::string();
    }
    std::ifstream in(signatureFile, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

}  // namespace vellum::tokenkit
