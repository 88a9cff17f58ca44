#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>

#include "PluginIdentity.h"
#include "hostkit/RecordingHost.h"
#include "shell/NPNFuncs.h"
#include "shell/PluginModule.h"

namespace {

using vellum::pluginhost::RecordingHost;

constexpr std::size_t kHeaderSize = offsetof(NPNetscapeFuncs, geturl);
constexpr std::size_t kEntryCount = (sizeof(NPNetscapeFuncs) - kHeaderSize) / sizeof(void*);

constexpr std::size_t entryIndex(std::size_t offset) {
    return (offset - kHeaderSize) / sizeof(void*);
}

// Reads or writes the n-th function entry of a table as raw bytes (entries differ in type).
void* entryAt(const void* table, std::size_t n) {
    void* entry = nullptr;
    std::memcpy(&entry, static_cast<const unsigned char*>(table) + kHeaderSize + n * sizeof(void*),
                sizeof(void*));
    return entry;
}

void setEntryAt(void* table, std::size_t n, void* entry) {
    std::memcpy(static_cast<unsigned char*>(table) + kHeaderSize + n * sizeof(void*), &entry,
                sizeof(void*));
}

// A marker for the n-th entry; these tables are only copied, never called.
void* marker(std::size_t n) {
    return reinterpret_cast<void*>(0x5000 + 0x10 * n);
}

// A host table of `bytes` bytes, on the heap so that a read past it is caught by ASan, with
// every entry that fits set to its marker and `size` saying `bytes`.
std::unique_ptr<unsigned char[]> hostTable(std::size_t bytes, uint16_t version) {
    auto table = std::make_unique<unsigned char[]>(bytes);
    std::memset(table.get(), 0xAB, bytes);  // a partial entry at the end is not null either
    const uint16_t size = static_cast<uint16_t>(bytes);
    std::memcpy(table.get() + offsetof(NPNetscapeFuncs, size), &size, sizeof size);
    std::memcpy(table.get() + offsetof(NPNetscapeFuncs, version), &version, sizeof version);
    for (std::size_t n = 0; kHeaderSize + (n + 1) * sizeof(void*) <= bytes; ++n) {
        setEntryAt(table.get(), n, marker(n));
    }
    return table;
}

NPError initializeWith(unsigned char* table) {
    return NP_Initialize(reinterpret_cast<NPNetscapeFuncs*>(table));
}

bool sameBytes(const NPNetscapeFuncs& a, const NPNetscapeFuncs& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class EntryPointsTest : public ::testing::Test {
protected:
    void SetUp() override { NPNFuncs = {}; }
    void TearDown() override { NPNFuncs = {}; }
};

TEST_F(EntryPointsTest, CopiesEntriesUpToSetExceptionExceptTheJavaEntries) {
    auto host = hostTable(sizeof(NPNetscapeFuncs), 0x001B);
    ASSERT_EQ(initializeWith(host.get()), NPERR_NO_ERROR);

    EXPECT_EQ(NPNFuncs.size, sizeof(NPNetscapeFuncs));
    EXPECT_EQ(NPNFuncs.version, 0x001B);
    const std::size_t javaEnv = entryIndex(offsetof(NPNetscapeFuncs, getJavaEnv));
    const std::size_t javaPeer = entryIndex(offsetof(NPNetscapeFuncs, getJavaPeer));
    const std::size_t setException = entryIndex(offsetof(NPNetscapeFuncs, setexception));
    for (std::size_t n = 0; n < kEntryCount; ++n) {
        const bool copied = n <= setException && n != javaEnv && n != javaPeer;
        EXPECT_EQ(entryAt(&NPNFuncs, n), copied ? marker(n) : nullptr) << "entry " << n;
    }
    EXPECT_EQ(reinterpret_cast<void*>(NPNFuncs.getstringidentifiers),
              marker(entryIndex(offsetof(NPNetscapeFuncs, getstringidentifiers))));
    EXPECT_EQ(reinterpret_cast<void*>(NPNFuncs.setexception), marker(setException));
    EXPECT_EQ(NPNFuncs.pushpopupsenabledstate, nullptr);
    EXPECT_EQ(NPNFuncs.setcurrentasyncsurface, nullptr);
}

TEST_F(EntryPointsTest, ShortHostTableIsNotReadPastItsSize) {
    // Ends just before setexception, then half-way into it: in both, setexception stays null and
    // ASan would see any read beyond the table.
    for (std::size_t bytes : {offsetof(NPNetscapeFuncs, setexception),
                              offsetof(NPNetscapeFuncs, setexception) + sizeof(void*) / 2}) {
        SCOPED_TRACE(bytes);
        NPNFuncs = {};
        auto host = hostTable(bytes, 0x001B);
        ASSERT_EQ(initializeWith(host.get()), NPERR_NO_ERROR);
        EXPECT_EQ(NPNFuncs.size, bytes);
        EXPECT_EQ(reinterpret_cast<void*>(NPNFuncs.releasevariantvalue),
                  marker(entryIndex(offsetof(NPNetscapeFuncs, releasevariantvalue))));
        EXPECT_EQ(reinterpret_cast<void*>(NPNFuncs.getstringidentifiers),
                  marker(entryIndex(offsetof(NPNetscapeFuncs, getstringidentifiers))));
        EXPECT_EQ(NPNFuncs.setexception, nullptr);
    }
}

TEST_F(EntryPointsTest, EntriesBeyondTheStatedSizeStayNullEvenIfPresent) {
    auto host = hostTable(sizeof(NPNetscapeFuncs), 0x000E);
    const uint16_t stated = offsetof(NPNetscapeFuncs, getvalue);
    std::memcpy(host.get(), &stated, sizeof stated);
    ASSERT_EQ(initializeWith(host.get()), NPERR_NO_ERROR);
    EXPECT_NE(NPNFuncs.posturlnotify, nullptr);
    EXPECT_EQ(NPNFuncs.getvalue, nullptr);
    EXPECT_EQ(NPNFuncs.createobject, nullptr);
}

TEST_F(EntryPointsTest, RefusesMajorVersionOtherThanZeroAndCopiesNothing) {
    NPNetscapeFuncs first = RecordingHost::table(0x001B);
    ASSERT_EQ(NP_Initialize(&first), NPERR_NO_ERROR);
    const NPNetscapeFuncs before = NPNFuncs;

    auto refused = hostTable(sizeof(NPNetscapeFuncs), 0x0100);
    EXPECT_EQ(initializeWith(refused.get()), NPERR_INCOMPATIBLE_VERSION_ERROR);
    EXPECT_TRUE(sameBytes(NPNFuncs, before));

    EXPECT_EQ(NP_Initialize(nullptr), NPERR_INVALID_FUNCTABLE_ERROR);
    EXPECT_TRUE(sameBytes(NPNFuncs, before));

    auto accepted = hostTable(sizeof(NPNetscapeFuncs), 0x00FF);
    EXPECT_EQ(initializeWith(accepted.get()), NPERR_NO_ERROR);
    EXPECT_EQ(NPNFuncs.version, 0x00FF);
    EXPECT_EQ(reinterpret_cast<void*>(NPNFuncs.geturl), marker(0));
}

TEST_F(EntryPointsTest, RepeatedInitializeReplacesThePreviousCopy) {
    NPNetscapeFuncs full = RecordingHost::table(0x001B);
    ASSERT_EQ(NP_Initialize(&full), NPERR_NO_ERROR);
    ASSERT_NE(NPNFuncs.createobject, nullptr);

    auto shorter = hostTable(offsetof(NPNetscapeFuncs, getvalue), 0x0009);
    ASSERT_EQ(initializeWith(shorter.get()), NPERR_NO_ERROR);
    EXPECT_EQ(NPNFuncs.version, 0x0009);
    EXPECT_EQ(reinterpret_cast<void*>(NPNFuncs.geturl), marker(0));
    EXPECT_EQ(NPNFuncs.createobject, nullptr);
}

TEST_F(EntryPointsTest, ShutdownKeepsTheCopy) {
    NPNetscapeFuncs host = RecordingHost::table(0x001B);
    ASSERT_EQ(NP_Initialize(&host), NPERR_NO_ERROR);
    const NPNetscapeFuncs before = NPNFuncs;
    EXPECT_EQ(NP_Shutdown(), NPERR_NO_ERROR);
    EXPECT_TRUE(sameBytes(NPNFuncs, before));
}

struct GetValueCase {
    NPPVariable variable;
    NPError withOutValue;
    bool storesName;
};

void PrintTo(const GetValueCase& c, std::ostream* out) {
    *out << "variable " << c.variable;
}

class GetValueTest : public ::testing::TestWithParam<GetValueCase> {};

TEST_P(GetValueTest, AnswersForTheModule) {
    const GetValueCase& c = GetParam();
    int reserved = 0;
    EXPECT_EQ(NP_GetValue(&reserved, c.variable, nullptr), NPERR_INVALID_PARAM);

    const char* untouched = "untouched";
    const char* out = untouched;
    EXPECT_EQ(NP_GetValue(&reserved, c.variable, &out), c.withOutValue);
    if (c.storesName) {
        EXPECT_EQ(out, kPluginName);
        EXPECT_STREQ(out, "vellum Plug-in for DEMO");
    } else {
        EXPECT_EQ(out, untouched);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Variables, GetValueTest,
    ::testing::Values(GetValueCase{NPPVpluginNameString, NPERR_NO_ERROR, true},
                      GetValueCase{NPPVpluginDescriptionString, NPERR_NO_ERROR, true},
                      GetValueCase{NPPVpluginWindowBool, NPERR_INVALID_PARAM, false},
                      GetValueCase{NPPVpluginNeedsXEmbed, NPERR_NO_ERROR, false},
                      GetValueCase{NPPVpluginScriptableNPObject, NPERR_INVALID_PARAM, false}),
    [](const ::testing::TestParamInfo<GetValueCase>& info) {
        return "Variable" + std::to_string(info.param.variable);
    });

TEST(PluginModuleTest, DescribesTheMIMETypeItTakes) {
    EXPECT_STREQ(NPP_GetMIMEDescription(),
                 "application/x-vnd-vellum-demo::vellum Plug-in for DEMO");
}

}  // namespace
