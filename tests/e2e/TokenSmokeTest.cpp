// The plug-in with a real token behind the forwarding module: the certificate list, and the
// cut that a zero byte makes in texts on their way from script to the token.
#include <string>

#include "PluginFixture.h"

namespace vellum::e2e {
namespace {

using pluginhost::ScriptResult;
using pluginhost::ScriptValue;

using TokenSmokeTest = TokenTest;

TEST_F(TokenSmokeTest, GetCertListListsBothCertificatesOfTheToken) {
    ASSERT_NE(addCertificate(spec("/CN=Example Signer/O=Example Org", "01A2B3")), nullptr);
    ASSERT_NE(addCertificate(spec("/O=Example Org", "7F00")), nullptr);
    ASSERT_TRUE(startPlugin());

    ScriptResult list = host().invoke("getCertList");
    ASSERT_TRUE(list.ok);
    ASSERT_TRUE(list.value.isString()) << list;
    // In the order the token returns its objects.
    const std::string first = "CN=Example Signer,01A2B3;";
    const std::string second = "CN=Example Org,7F00;";
    EXPECT_TRUE(list.value.stringValue() == first + second ||
                list.value.stringValue() == second + first)
        << list;
    EXPECT_EQ(host().invoke("LastError").value, ScriptValue::string("OK"));

    // One whole token operation: loaded, initialised, finalised, unloaded.
    EXPECT_EQ(callLog().loads(), 1u);
    EXPECT_EQ(callLog().count("C_Initialize"), 1u);
    EXPECT_EQ(callLog().count("C_Finalize"), 1u);
}

TEST_F(TokenSmokeTest, ZeroByteCutsTextsOnTheirWayToTheToken) {
    ASSERT_NE(addCertificate(spec("/CN=Example Signer", "01A2B3")), nullptr);
    ASSERT_TRUE(startPlugin());

    // The serial matches only once cut at the zero byte (and upper-cased).
    ASSERT_TRUE(host().setProperty("CN", text("01a2b3\0FF")));
    ASSERT_TRUE(host().setProperty("SignData", text("ab\0cd")));
    ScriptResult envelope = host().getProperty("SignData");
    ASSERT_TRUE(envelope.ok);
    const std::string& value = envelope.value.stringValue();
    // 1024-bit key: 128 signature bytes, 256 hexadecimal characters.
    const std::string head = "UD65001:00000002ab00000256";
    ASSERT_EQ(value.size(), head.size() + 256) << envelope;
    EXPECT_EQ(value.substr(0, head.size()), head);
    EXPECT_EQ(value.find_first_not_of("0123456789ABCDEF", head.size()), std::string::npos);
    EXPECT_EQ(host().invoke("LastError").value, ScriptValue::string("OK"));
}

}  // namespace
}  // namespace vellum::e2e
