#include "TokenScriptFixture.h"

#include "tokenkit/OpensslCheck.h"

namespace vellum::e2e {

using pluginhost::ScriptResult;
using pluginhost::ScriptValue;

namespace {

std::string textOf(const ScriptResult& result, const std::string& what) {
    EXPECT_TRUE(result.ok && result.value.isString()) << what << " answered " << result;
    return result.value.stringValue();
}

}  // namespace

std::string TokenScriptTest::invokeText(const std::string& method) {
    return textOf(host().invoke(method), method + "()");
}

std::string TokenScriptTest::readText(const std::string& property) {
    return textOf(host().getProperty(property), "reading " + property);
}

void TokenScriptTest::write(const std::string& property, const std::string& value) {
    EXPECT_TRUE(host().setProperty(property, ScriptValue::string(value)))
        << "writing " << property << " = \"" << value << "\"";
}

const tokenkit::TokenCertificate* TokenScriptTest::addSigner(tokenkit::Token& token,
                                                             const std::string& subject,
                                                             const std::string& serial, int bits,
                                                             bool withPrivateKey) {
    tokenkit::CertificateSpec spec = TokenTest::spec(subject, serial);
    spec.bits = bits;
    spec.withPrivateKey = withPrivateKey;
    const tokenkit::TokenCertificate* cert = kit().addCertificate(token, spec);
    EXPECT_NE(cert, nullptr) << "adding " << subject << ": " << kit().error();
    return cert;
}

::testing::AssertionResult TokenScriptTest::closedDown() {
    tokenkit::CallLog& log = callLog();
    if (log.loads() == 0) {
        return ::testing::AssertionFailure() << "the token module was never loaded";
    }
    std::string why;
    if (!log.balanced(&why)) {
        return ::testing::AssertionFailure() << why;
    }
    if (succeeded("C_OpenSession") != succeeded("C_CloseSession")) {
        return ::testing::AssertionFailure()
               << succeeded("C_OpenSession") << " sessions opened but "
               << succeeded("C_CloseSession") << " closed";
    }
    std::vector<std::string> lines = log.lines();
    if (lines.empty() || lines.back().compare(0, 7, "@unload") != 0) {
        return ::testing::AssertionFailure()
               << "the log does not end with the unload: "
               << (lines.empty() ? std::string("(empty)") : lines.back());
    }
    return ::testing::AssertionSuccess();
}

size_t TokenScriptTest::succeeded(const std::string& name) {
    size_t count = 0;
    for (const tokenkit::LoggedCall& call : callLog().calls(name)) {
        count += call.rv == 0 ? 1 : 0;
    }
    return count;
}

std::string TokenScriptTest::lastSignMechanism() {
    std::vector<tokenkit::LoggedCall> inits = callLog().calls("C_SignInit");
    return inits.empty() ? "none" : inits.back().arg("mechanism");
}

std::vector<std::string> TokenScriptTest::callNames() {
    std::vector<std::string> names;
    for (const tokenkit::LoggedCall& call : callLog().calls()) {
        names.push_back(call.name);
    }
    return names;
}

::testing::AssertionResult TokenScriptTest::verifies(const tokenkit::TokenCertificate& cert,
                                                     const std::string& digest,
                                                     const std::string& data,
                                                     const std::string& hex) {
    std::string why;
    if (tokenkit::OpensslCheck::verifies(cert.pemPath, digest, data, hex, kit().directory(),
                                         &why)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << why;
}

std::string TokenScriptTest::opensslSignature(const tokenkit::TokenCertificate& cert,
                                              const std::string& digest, const std::string& data) {
    std::string why;
    const std::string hex =
        tokenkit::OpensslCheck::signature(cert.keyPath, digest, data, kit().directory(), &why);
    EXPECT_FALSE(hex.empty()) << why;
    return hex;
}

std::vector<std::string> TokenScriptTest::entriesOf(const std::string& list) {
    std::vector<std::string> entries;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find(';', start);
        end = end == std::string::npos ? list.size() : end + 1;
        entries.push_back(list.substr(start, end - start));
        start = end;
    }
    return entries;
}

}  // namespace vellum::e2e
