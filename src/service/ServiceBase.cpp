#include "service/ServiceBase.h"

#include <utility>

#include "PluginIdentity.h"

std::string ServiceBase::copyText(const char* text) noexcept {
    try {
        return text;
    } catch (...) {
        return std::string();
    }
}

std::string ServiceBase::copyText(const std::string& text) noexcept {
    try {
        return text;
    } catch (...) {
        return std::string();
    }
}

ServiceBase::ServiceBase() = default;

ServiceBase::~ServiceBase() = default;

std::string ServiceBase::getSignData() {
    return copyText(SignData);
}

std::string ServiceBase::getSignature() {
    return std::string();
}

std::string ServiceBase::getSignFile() {
    return copyText(SignFile);
}

// The interface takes texts by value; the default has no use for this one.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void ServiceBase::setHashAlgorithm(std::string /*hashName*/) {}

std::string ServiceBase::pkcs7Data() {
    return copyText("pkcs7Data");
}

std::string ServiceBase::verifyPKCS7(char*) {
    return std::string();
}

std::string ServiceBase::verifySignature(char*, char*, char*) {
    return std::string();
}

std::string ServiceBase::lastError() {
    return std::string();
}

std::string ServiceBase::signCert() {
    return std::string();
}

std::string ServiceBase::getCertList() {
    return std::string();
}

std::string ServiceBase::getProviderName() {
    return std::string();
}

std::string ServiceBase::getCN() const {
    return copyText(CN);
}

void ServiceBase::setCN(std::string cn) {
    CN = std::move(cn);
    // Only a to z change. Bytes above 0x7F are left alone: passing them to toupper as negative
    // values is undefined, and a host locale could otherwise remap them.
    for (char& c : CN) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
}

void ServiceBase::setSignData(std::string data) {
    SignData = std::move(data);
}

std::string ServiceBase::getIssuerCN() const {
    return copyText(IssuerCN);
}

void ServiceBase::setIssuerCN(std::string issuerCN) {
    IssuerCN = std::move(issuerCN);
}

void ServiceBase::setSignFile(std::string signFile) {
    SignFile = std::move(signFile);
}

std::string ServiceBase::getVersion() const {
    return copyText(kPluginVersion);
}

short ServiceBase::getTokenCount() const {
    return 1;
}

std::string ServiceBase::getTokenSN(short) const {
    return copyText("getTokenSN:not supported");
}

std::string ServiceBase::getTokenMOVAId(short) const {
    return copyText("getTokenMOVAId:not supported");
}

void ServiceBase::setUKeyVendor(char*) {}

short ServiceBase::getUKeyCount() const {
    return 1;
}

std::string ServiceBase::getUKeySN(short) const {
    return copyText("getUKeySN:not supported");
}

short ServiceBase::getUKeyCertCount(short) const {
    return 1;
}

short ServiceBase::changeUKeyPIN(short) {
    return 1;
}

std::string ServiceBase::createX509ReqData(char*, char*, long, long, char*) const {
    return copyText("createX509ReqData:not supported");
}

std::string ServiceBase::importCertData(char*) const {
    return copyText("importCertData:not supported");
}

std::string ServiceBase::getProviderCertList(char*) const {
    return copyText("getProviderCertList:not supported");
}
