#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tokenkit/CallLog.h"
#include "tokenkit/TokenKit.h"

namespace vellum::tokenkit::testing {
namespace {

class CallLogTest : public ::testing::Test {
protected:
    CallLog write(const std::string& text) {
        std::ofstream(path, std::ios::trunc) << text;
        return CallLog(path);
    }

    TokenKit kit;  // only for its temporary directory
    std::string path = kit.directory() + "/calls.log";
};

const char* const kCleanOperation =
    "@load pid=7\n"
    "C_GetFunctionList rv=0x0 target=/x.so\n"
    "C_Initialize rv=0x191 initArgs=null real=0x0\n"
    "C_OpenSession rv=0x0 slot=3 flags=0x6 session=1\n"
    "C_Login rv=0xA0 session=1 userType=1 pin=null pinLength=0 pinSupplied=yes\n"
    "C_CloseSession rv=0x0 session=1\n"
    "C_Finalize rv=0x0 openSessions=0 loggedIn=no\n"
    "@unload pid=7 initialized=no\n";

TEST_F(CallLogTest, ParsesCallsAndTheirArguments) {
    CallLog log = write(kCleanOperation);
    EXPECT_EQ(log.loads(), 1u);
    EXPECT_EQ(log.unloads(), 1u);
    ASSERT_EQ(log.calls().size(), 6u);
    LoggedCall login = log.calls("C_Login").at(0);
    EXPECT_EQ(login.rv, 0xA0u);
    EXPECT_EQ(login.arg("session"), "1");
    EXPECT_EQ(login.arg("pinSupplied"), "yes");
    EXPECT_EQ(login.arg("pin"), "null");  // not confused with pinLength or pinSupplied
    EXPECT_EQ(login.arg("absent"), "");
    EXPECT_EQ(log.calls("C_GetFunctionList").at(0).arg("target"), "/x.so");
    EXPECT_EQ(log.count("C_Initialize"), 1u);
    std::string why;
    EXPECT_TRUE(log.balanced(&why)) << why;

    EXPECT_TRUE(log.clear());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(log.balanced());
    EXPECT_EQ(CallLog(kit.directory() + "/missing.log").count("C_Login"), 0u);
}

TEST_F(CallLogTest, BalanceCheckNamesWhatWasLeftBehind) {
    struct Case {
        std::string log;
        std::string problem;
    };
    const Case cases[] = {
        {"@load pid=7\nC_Initialize rv=0x0\n"
         "C_Finalize rv=0x0 openSessions=0 loggedIn=yes\n@unload pid=7 initialized=no\n",
         "login still active"},
        {"@load pid=7\nC_Initialize rv=0x0\n@unload pid=7 initialized=yes\n",
         "unloaded while still initialised"},
        // A failed C_Finalize leaves the module initialised.
        {"@load pid=7\nC_Initialize rv=0x0\nC_Finalize rv=0x5 openSessions=0 loggedIn=no "
         "injected=yes\n",
         "never finalised"},
        {"@load pid=7\nC_Initialize rv=0x6\n", "1 loads but 0 unloads"},
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_FALSE(write(c.log).balanced(&why)) << c.log;
        EXPECT_NE(why.find(c.problem), std::string::npos) << why;
    }
}

}  // namespace
}  // namespace vellum::tokenkit::testing
