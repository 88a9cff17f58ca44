#pragma once

#include <string>

// The operations the script object can reach, each with a harmless default answer. The PKCS#11
// implementation overrides the virtual ones; the non-virtual ones are answered here alone.
class ServiceBase {
public:
    ServiceBase();
    virtual ~ServiceBase();

    virtual std::string getSignData();
    virtual std::string getSignature();
    virtual std::string getSignFile();
    virtual void setHashAlgorithm(std::string hashName);
    virtual std::string pkcs7Data();
    virtual std::string verifyPKCS7(char* pkcs7);
    virtual std::string verifySignature(char* data, char* signature, char* certificate);
    virtual std::string lastError();
    virtual std::string signCert();
    virtual std::string getCertList();
    virtual std::string getProviderName();

    std::string getCN() const;
    // Stored upper-cased: certificates are chosen by comparing it with an upper-case hex serial.
    void setCN(std::string cn);
    void setSignData(std::string data);
    std::string getIssuerCN() const;
    void setIssuerCN(std::string issuerCN);
    void setSignFile(std::string signFile);

    std::string getVersion() const;
    short getTokenCount() const;
    std::string getTokenSN(short index) const;
    std::string getTokenMOVAId(short index) const;
    void setUKeyVendor(char* vendor);
    short getUKeyCount() const;
    std::string getUKeySN(short index) const;
    short getUKeyCertCount(short index) const;
    short changeUKeyPIN(short index);
    std::string createX509ReqData(char* subject, char* keyType, long keyLength, long keyUsage,
                                  char* extensions) const;
    std::string importCertData(char* certificate) const;
    std::string getProviderCertList(char* provider) const;

protected:
    // Copies a text for returning it; an empty text if memory runs out, as nothing may throw out of
    // a service call.
    static std::string copyText(const char* text) noexcept;
    static std::string copyText(const std::string& text) noexcept;

    // The stored texts without a copy, for implementations that copy them where a failure to
    // allocate can be handled.
    const std::string& storedCN() const noexcept { return CN; }
    const std::string& storedSignData() const noexcept { return SignData; }

private:
    std::string CN;
    std::string SignData;
    std::string IssuerCN;
    std::string SignFile;
};
