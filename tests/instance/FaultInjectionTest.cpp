// Running out of memory inside the plug-in: every allocation of NPP_New in turn, and the
// conversions of a script call. The host hears an error code or a failure, never an exception,
// and nothing is left behind.
#include <gtest/gtest.h>

#include "AllocationFaults.h"
#include "PluginFixture.h"

namespace {

class OutOfMemory : public PluginFixture {
protected:
    void SetUp() override {
        if (!AllocationFaults::available()) {
            GTEST_SKIP() << "operator new is not the test's own here (valgrind?): no faults";
        }
        PluginFixture::SetUp();
    }

    void TearDown() override {
        AllocationFaults::disarm();
        PluginFixture::TearDown();
    }
};

TEST_F(OutOfMemory, EachAllocationOfNewInstanceFailingInTurn) {
    int refused = 0;
    int withoutObject = 0;
    for (std::size_t nth = 1;; ++nth) {
        ASSERT_LT(nth, 1000U) << "NPP_New never completed without a fault";
        void* const untouched = &refused;
        record.pdata = untouched;
        AllocationFaults::failNth(nth);
        const NPError answer = newInstance();
        AllocationFaults::disarm();
        const bool fired = AllocationFaults::fired();

        if (answer == NPERR_OUT_OF_MEMORY_ERROR) {
            ++refused;
            EXPECT_TRUE(fired);
            EXPECT_EQ(record.pdata, untouched) << "allocation " << nth;
            EXPECT_EQ(host.objectsAlive(), 0U) << "allocation " << nth;
            EXPECT_EQ(host.blocksOutstanding(), 0U) << "allocation " << nth;
            continue;
        }
        ASSERT_EQ(answer, NPERR_NO_ERROR) << "allocation " << nth;
        ASSERT_NE(record.pdata, untouched);
        if (host.objectsAlive() == 0) {
            ++withoutObject;  // the allocate hook ran out: the instance asks again later
        }
        EXPECT_EQ(destroyInstance(), NPERR_NO_ERROR);
        EXPECT_EQ(host.objectsAlive(), 0U);
        if (!fired) {
            break;
        }
    }
    EXPECT_GE(refused, 2) << "the instance and its service both allocate";
    EXPECT_GE(withoutObject, 1);
}

TEST_F(OutOfMemory, ScriptCallsThatCannotCopyTheirTextFail) {
    ASSERT_EQ(newInstance(), NPERR_NO_ERROR);
    NPObject* object = scriptObject();
    ASSERT_NE(object, nullptr);
    // Longer than any short-string buffer, so copying it allocates.
    const std::string text(64, 'a');

    // Everything the call needs is made before the fault is armed.
    const NPVariant argument = stringValue(text);
    const NPIdentifier importCertData = host.identifier("ImportCertData");
    const NPIdentifier signData = host.identifier("SignData");
    NPVariant result = int32Value(-7);

    AllocationFaults::failNth(1);
    const bool ok = object->_class->invoke(object, importCertData, &argument, 1, &result);
    EXPECT_TRUE(AllocationFaults::fired());
    EXPECT_FALSE(ok);
    EXPECT_TRUE(NPVARIANT_IS_VOID(result));

    AllocationFaults::failNth(1);
    EXPECT_FALSE(object->_class->setProperty(object, signData, &argument));
    EXPECT_TRUE(AllocationFaults::fired());
    AllocationFaults::disarm();
    EXPECT_EQ(instance()->GetService()->ServiceBase::getSignData(), "");

    EXPECT_TRUE(setProperty(object, "SignData", stringValue(text)));
    EXPECT_EQ(instance()->GetService()->ServiceBase::getSignData(), text);
}

}  // namespace
