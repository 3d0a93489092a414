#include "devices/adapter_names.h"

#include <cstring>
#include <string>

#include "devices/device_record.h"
#include "sim_setupapi.h"
#include "sim_test.h"

namespace {

const char kId[] = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";
const char kClassKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002bE10318}\\";
const char kLegacyKey[] = "SYSTEM\\CurrentControlSet\\Services\\Class\\Net\\";

// Leaves bytes other than NUL where the next call's locals will lie, so a
// read past the registry data's end would show.
__attribute__((noinline)) void DirtyStack() {
    volatile char junk[4096];
    for (volatile char& c : junk) c = 'Z';
}

class AdapterNames : public SimTest {
protected:
    char path[kDevicePathSlot];
    char object[kDeviceObjectNameSlot];
    char instance[kInstanceIdSlot];

    void SetUp() override {
        SimTest::SetUp();
        Preset();
    }
    void Preset() {
        std::strcpy(path, "unchanged");
        std::strcpy(object, "unchanged");
        std::strcpy(instance, "unchanged");
    }
    int Resolve(const char* suffix) {
        DirtyStack();
        return ResolveAdapterNames(path, object, instance, suffix);
    }
    std::string LastOpen() { return Sim().regOpens.empty() ? "" : Sim().regOpens.back().path; }
    // Opens of keys under either network class location.
    size_t ClassOpens() {
        size_t n = 0;
        for (const sim::RegOpen& o : Sim().regOpens)
            if (o.path.find("\\Class\\") != std::string::npos) ++n;
        return n;
    }
    void ExpectUnchanged(bool pathToo) {
        if (pathToo) EXPECT_STREQ("unchanged", path);
        EXPECT_STREQ("unchanged", object);
        EXPECT_STREQ("unchanged", instance);
    }
};

TEST_F(AdapterNames, HostsFromCodeSixReadTheInstanceIdentifierOnceUnderTheNetworkClass) {
    for (int code : {6, 7, 12}) {
        Sim().SetHostCode(code);
        sim::AddNetAdapterKey("0007", kId);
        sim::AddLegacyNetAdapterKey("0007", "NDISWAN.VXD");
        Preset();
        size_t opens = ClassOpens();
        EXPECT_EQ(1, Resolve("0007")) << code;
        ASSERT_EQ(opens + 1, ClassOpens()) << "one read gives every name";
        EXPECT_EQ(std::string(kClassKey) + "0007", LastOpen()) << code;
        EXPECT_EQ(std::string("\\\\.\\") + kId, path) << code;
        EXPECT_STREQ(kId, instance);
        EXPECT_EQ(std::string("\\Device\\") + kId, object);
    }
}

TEST_F(AdapterNames, OlderOrUnclassifiedHostsReadDeviceVxDsAndHaveNoObjectName) {
    for (int code : {5, 2, 0}) {
        Sim().SetHostCode(code);  // 0: a version too old to classify
        sim::AddLegacyNetAdapterKey("0003", "NDISWAN.VXD");
        sim::AddNetAdapterKey("0003", kId);
        Preset();
        size_t opens = ClassOpens();
        EXPECT_EQ(1, Resolve("0003")) << code;
        ASSERT_EQ(opens + 1, ClassOpens()) << code;
        EXPECT_EQ(std::string(kLegacyKey) + "0003", LastOpen());
        EXPECT_STREQ("\\\\.\\NDISWAN.VXD", path);
        ExpectUnchanged(false);
    }
}

TEST_F(AdapterNames, TextTooLongForItsSlotIsRefusedNotCut) {
    struct Case {
        size_t length;
        int path;   // "\\.\" and the text fit 63 characters up to 59
        int names;  // the identifier fits up to 63
    };
    for (const Case& c : {Case{59, 1, 1}, Case{60, 0, 1}, Case{63, 0, 1}, Case{64, 0, 0},
                          Case{127, 0, 0}, Case{128, 0, 0}, Case{255, 0, 0}, Case{256, 0, 0}}) {
        const std::string text(c.length, 'A');
        sim::AddNetAdapterKey("0001", text);
        Preset();
        EXPECT_EQ(c.path, Resolve("0001")) << c.length;
        EXPECT_EQ(c.path ? "\\\\.\\" + text : std::string("unchanged"), path);
        EXPECT_EQ(c.names ? text : std::string("unchanged"), instance);
        EXPECT_EQ(c.names ? "\\Device\\" + text : std::string("unchanged"), object);
    }
}

TEST_F(AdapterNames, MissingKeyOrValueLeavesTheSlotsUnchanged) {
    EXPECT_EQ(0, Resolve("0009"));
    ExpectUnchanged(true);
    Sim().AddKey(std::string(kClassKey) + "0009");
    EXPECT_EQ(0, Resolve("0009"));
    ExpectUnchanged(true);
}

TEST_F(AdapterNames, DataIsTextThatEndsAtItsNulOrItsSize) {
    // No terminator: the text ends with the data.
    Sim().SetValue(sim::RegView::Shared, std::string(kClassKey) + "0004", "NetCfgInstanceId",
                   REG_SZ, std::string(kId));
    EXPECT_EQ(1, Resolve("0004"));
    EXPECT_EQ(std::string("\\\\.\\") + kId, path);
    EXPECT_STREQ(kId, instance);

    // The type is not consulted; the text ends at the first NUL.
    Sim().SetValue(sim::RegView::Shared, std::string(kClassKey) + "0005", "NetCfgInstanceId",
                   REG_BINARY, std::string("{AB}\0{CD}", 9));
    EXPECT_EQ(1, Resolve("0005"));
    EXPECT_STREQ("\\\\.\\{AB}", path);
    EXPECT_STREQ("{AB}", instance);
}

TEST_F(AdapterNames, SuffixIsAppendedUnchecked) {
    // Empty: the class key and a backslash.
    EXPECT_EQ(0, Resolve(""));
    EXPECT_EQ(kClassKey, LastOpen());

    // A key too long for its buffer is not opened at all, never cut.
    const std::string longSuffix(200, '7');
    size_t opens = Sim().regOpens.size();
    EXPECT_EQ(0, Resolve(longSuffix.c_str()));
    EXPECT_EQ(opens, Sim().regOpens.size());
    ExpectUnchanged(true);
}

}  // namespace
