#include "host/host_classify.h"

#include "sim_services.h"
#include "sim_test.h"

namespace {

VersionFields V(DWORD major, DWORD minor, DWORD build = 0, DWORD platform = 2, WORD type = 1) {
    return VersionFields{major, minor, build, platform, type};
}

TEST(ClassifyVersion, ModernReleasesByMinorProductTypeAndProcessor) {
    EXPECT_EQ(10, ClassifyVersion(V(6, 0, 6002, 2, 1), false));
    EXPECT_EQ(11, ClassifyVersion(V(6, 0, 6002, 2, 1), true));
    // A domain controller counts with the workstations.
    EXPECT_EQ(10, ClassifyVersion(V(6, 0, 6002, 2, 2), false));
    EXPECT_EQ(11, ClassifyVersion(V(6, 0, 6002, 2, 2), true));
    EXPECT_EQ(14, ClassifyVersion(V(6, 0, 6002, 2, 3), false));
    EXPECT_EQ(14, ClassifyVersion(V(6, 0, 6002, 2, 3), true));
    EXPECT_EQ(12, ClassifyVersion(V(6, 1), false));
    EXPECT_EQ(13, ClassifyVersion(V(6, 1), true));
    EXPECT_EQ(12, ClassifyVersion(V(6, 2), false));
    // Minor 1 wins over a server product type.
    EXPECT_EQ(12, ClassifyVersion(V(6, 1, 0, 2, 3), false));
    EXPECT_EQ(13, ClassifyVersion(V(10, 1), true));
    EXPECT_EQ(10, ClassifyVersion(V(10, 0), false));
    EXPECT_EQ(14, ClassifyVersion(V(7, 0, 0, 2, 3), true));
}

TEST(ClassifyVersion, NtFiveFamily) {
    EXPECT_EQ(6, ClassifyVersion(V(5, 0), true));
    EXPECT_EQ(7, ClassifyVersion(V(5, 1), true));
    EXPECT_EQ(8, ClassifyVersion(V(5, 2), true));
    EXPECT_EQ(9, ClassifyVersion(V(5, 2), false));
    EXPECT_EQ(8, ClassifyVersion(V(5, 3), true));
}

TEST(ClassifyVersion, MajorFourFamilyAndOlder) {
    EXPECT_EQ(1, ClassifyVersion(V(4, 0, 950, 1), false));
    EXPECT_EQ(5, ClassifyVersion(V(4, 0, 1381, 2), false));
    EXPECT_EQ(5, ClassifyVersion(V(4, 9, 0, 3), false));
    EXPECT_EQ(2, ClassifyVersion(V(4, 10, 1998, 1), false));
    EXPECT_EQ(2, ClassifyVersion(V(4, 10, 1999, 1), false));
    EXPECT_EQ(3, ClassifyVersion(V(4, 10, 2000, 1), false));
    EXPECT_EQ(3, ClassifyVersion(V(4, 10, 2222, 1), false));
    // The whole 32-bit build field is compared: a set high half means 3.
    EXPECT_EQ(3, ClassifyVersion(V(4, 10, 0x040A07CE, 1), false));
    EXPECT_EQ(2, ClassifyVersion(V(4, 89, 1998, 1), false));
    EXPECT_EQ(4, ClassifyVersion(V(4, 90, 3000, 1), false));
    EXPECT_EQ(0, ClassifyVersion(V(3, 51, 1057, 2), false));
    EXPECT_EQ(0, ClassifyVersion(V(0, 0, 0, 0), true));
}

class HostClassification : public SimTest {};

TEST_F(HostClassification, ReadsTheExtendedVersionRecordAndProcessor) {
    Sim().SetVersion(5, 2, 3790);
    Sim().SetArchitecture("AMD64");
    int code = -1;
    EXPECT_EQ(1, ClassifyHost(&code));
    EXPECT_EQ(8, code);

    Sim().SetArchitecture("x86");
    EXPECT_EQ(1, ClassifyHost(&code));
    EXPECT_EQ(9, code);

    Sim().SetVersion(6, 0, 6002, 2, VER_NT_SERVER);
    EXPECT_EQ(1, ClassifyHost(&code));
    EXPECT_EQ(14, code);
}

TEST_F(HostClassification, TooOldOrUnreadableVersionGivesZeroAndMinus99) {
    Sim().SetVersion(3, 51, 1057);
    int code = -1;
    EXPECT_EQ(-99, ClassifyHost(&code));
    EXPECT_EQ(0, code);

    Sim().SetVersion(6, 1);
    Sim().versionFails = true;
    code = 12;
    EXPECT_EQ(-99, ClassifyHost(&code));
    EXPECT_EQ(0, code);
}

TEST_F(HostClassification, EveryCodeTheSimulatedMachineCanBe) {
    for (int expected = 1; expected <= 14; ++expected) {
        Sim().SetHostCode(expected);
        int code = 0;
        EXPECT_EQ(1, ClassifyHost(&code)) << expected;
        EXPECT_EQ(expected, code);
    }
}

TEST_F(HostClassification, Amd64OnlyForTheExactUpperCaseText) {
    Sim().SetArchitecture("AMD64");
    EXPECT_TRUE(IsAmd64Host());
    Sim().SetArchitecture("amd64");
    EXPECT_FALSE(IsAmd64Host());
    Sim().SetArchitecture("IA64");
    EXPECT_FALSE(IsAmd64Host());
    Sim().SetArchitecture("AMD64x");
    EXPECT_FALSE(IsAmd64Host());
    Sim().SetArchitecture(nullptr);  // key present, value missing
    EXPECT_FALSE(IsAmd64Host());
    Sim().DeleteKey("System\\CurrentControlSet\\Control\\Session Manager");
    EXPECT_FALSE(IsAmd64Host());
}

TEST_F(HostClassification, Amd64ValueWithoutTerminatorOrTooLong) {
    const char* env = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";
    Sim().SetValue(sim::RegView::Shared, env, "PROCESSOR_ARCHITECTURE", REG_SZ, "AMD64");
    EXPECT_TRUE(IsAmd64Host());
    Sim().SetValue(sim::RegView::Shared, env, "PROCESSOR_ARCHITECTURE", REG_SZ,
                   "AMD64" + std::string(200, 'x'));
    EXPECT_FALSE(IsAmd64Host());
}

// A standard user, who may only read HKLM, learns the processor too.
TEST_F(HostClassification, ProcessorTestWorksForAStandardUser) {
    Sim().SetHostCode(13);
    sim::Scm().admin = false;
    EXPECT_TRUE(IsAmd64Host());
    ASSERT_EQ(1u, Sim().regOpens.size());
    EXPECT_EQ(ERROR_SUCCESS, Sim().regOpens[0].result);
    EXPECT_EQ("System\\CurrentControlSet\\Control\\Session Manager\\Environment",
              Sim().regOpens[0].path);
}

}  // namespace
