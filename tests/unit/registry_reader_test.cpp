#include "host/registry_reader.h"

#include <cstring>

#include "sim_services.h"
#include "sim_test.h"

namespace {

const char kAdapterKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007";
const char kValueName[] = "NetCfgInstanceId";
const char kGuid[] = "{6A8B3C2D-1E4F-4A5B-9C8D-7E6F5A4B3C2D}";

// The view a mask asks for; the rights are proven by reading as a standard
// user, who may only read.
const REGSAM kViews = KEY_WOW64_32KEY | KEY_WOW64_64KEY;
const REGSAM kPlain = 0;
const REGSAM kView32 = KEY_WOW64_32KEY;

TEST(RegistryAccessMask, ThirtyTwoBitViewOnlyFromCode8UnderWow64) {
    for (int code = 0; code <= 14; ++code) {
        EXPECT_EQ(kPlain, RegistryAccessMask(code, false) & kViews) << code;
        EXPECT_EQ(code >= 8 ? kView32 : kPlain, RegistryAccessMask(code, true) & kViews) << code;
    }
}

class RegistryReader : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::Scm().admin = false;  // the check tool reads these as a standard user
        saved_ = IsWow64ProcessEntry;
        LookUpIsWow64Process();
    }
    void TearDown() override {
        IsWow64ProcessEntry = saved_;
        SimTest::TearDown();
    }

    // A host of the given code; codes 8, 11 and 13 run the process under WOW64.
    void Host(int code) { Sim().SetHostCode(code); }

    // Reads the adapter value into a 256-byte buffer; returns the result and
    // leaves the view the reader's own open (the last one) asked for in lastSam.
    int Read(const char* key = kAdapterKey, const char* name = kValueName) {
        std::memset(data, 0, sizeof data);
        type = 0;
        size = sizeof data;
        Sim().regOpens.clear();
        int result = ReadRegistryValue(key, name, &type, data, &size);
        lastSam = Sim().regOpens.empty() ? kViews : Sim().regOpens.back().sam & kViews;
        return result;
    }

    BYTE data[256];
    DWORD type = 0;
    DWORD size = 0;
    REGSAM lastSam = 0;

private:
    IsWow64ProcessFn saved_ = nullptr;
};

TEST_F(RegistryReader, ReadsTheValueWithItsTypeAndSize) {
    Host(12);
    Sim().SetString(kAdapterKey, kValueName, kGuid);
    EXPECT_EQ(1, Read());
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(sizeof kGuid, size);
    EXPECT_STREQ(kGuid, reinterpret_cast<char*>(data));
    EXPECT_EQ(kAdapterKey, Sim().regOpens.back().path);
}

TEST_F(RegistryReader, XpNeverAsksAboutWow64AndOpensPlain) {
    // Even on an AMD64 machine with the process under WOW64.
    Host(7);
    Sim().machine64 = true;
    Sim().processWow64 = true;
    Sim().SetArchitecture("AMD64");
    Sim().SetString(kAdapterKey, kValueName, kGuid, sim::RegView::View32);
    EXPECT_EQ(1, Read());
    EXPECT_EQ(0, Sim().isWow64ProcessCalls);
    EXPECT_EQ(kPlain, lastSam);
}

TEST_F(RegistryReader, SixtyFourBitHostsUnderWow64OpenTheThirtyTwoBitView) {
    for (int code : {8, 11, 13}) {
        Host(code);
        Sim().isWow64ProcessCalls = 0;
        Sim().SetString(kAdapterKey, kValueName, kGuid, sim::RegView::View32);
        EXPECT_EQ(1, Read()) << code;
        EXPECT_EQ(1, Sim().isWow64ProcessCalls) << code;
        EXPECT_EQ(kView32, lastSam) << code;
    }
}

TEST_F(RegistryReader, ThirtyTwoBitWindowsAsksAndOpensPlain) {
    for (int code : {9, 10, 12, 14}) {
        Host(code);
        Sim().isWow64ProcessCalls = 0;
        Sim().SetString(kAdapterKey, kValueName, kGuid);
        EXPECT_EQ(1, Read()) << code;
        EXPECT_EQ(1, Sim().isWow64ProcessCalls) << code;
        EXPECT_EQ(kPlain, lastSam) << code;
    }
}

TEST_F(RegistryReader, OlderHostsNeverAsk) {
    for (int code : {1, 4, 5, 6, 7}) {
        Host(code);
        Sim().isWow64ProcessCalls = 0;
        Sim().SetString(kAdapterKey, kValueName, kGuid);
        EXPECT_EQ(1, Read()) << code;
        EXPECT_EQ(0, Sim().isWow64ProcessCalls) << code;
        EXPECT_EQ(kPlain, lastSam) << code;
    }
}

TEST_F(RegistryReader, NoIsWow64ProcessExportMeansPlainEverywhere) {
    Sim().hasIsWow64Process = false;
    LookUpIsWow64Process();
    EXPECT_TRUE(IsWow64ProcessEntry == nullptr);
    for (int code = 7; code <= 14; ++code) {
        Host(code);
        Sim().SetString(kAdapterKey, kValueName, kGuid, sim::RegView::View32);
        EXPECT_EQ(1, Read()) << code;
        EXPECT_EQ(kPlain, lastSam) << code;
    }
    EXPECT_EQ(0, Sim().isWow64ProcessCalls);
}

TEST_F(RegistryReader, TheEntryLookedUpAtStartIsTheOneAsked) {
    // Found at the look-up and answering yes: asked, though kernel32 no
    // longer exports it, and the 32-bit view opened.
    Host(13);
    Sim().SetString(kAdapterKey, kValueName, kGuid, sim::RegView::View32);
    Sim().hasIsWow64Process = false;
    EXPECT_EQ(1, Read());
    EXPECT_EQ(1, Sim().isWow64ProcessCalls);
    EXPECT_EQ(kView32, lastSam);

    // Missing at the look-up: never asked, though exported now, and opened plain.
    LookUpIsWow64Process();
    Sim().hasIsWow64Process = true;
    Read();
    EXPECT_EQ(1, Sim().isWow64ProcessCalls);
    EXPECT_EQ(kPlain, lastSam);
}

TEST_F(RegistryReader, FailingIsWow64ProcessMeansPlain) {
    Host(13);
    Sim().isWow64ProcessFails = true;
    Sim().SetString(kAdapterKey, kValueName, kGuid, sim::RegView::View32);
    EXPECT_EQ(1, Read());
    EXPECT_EQ(1, Sim().isWow64ProcessCalls);
    EXPECT_EQ(kPlain, lastSam);
}

TEST_F(RegistryReader, ThirtyTwoBitViewValueIsTheOneRead) {
    // Both views hold the value on a 64-bit machine; the 32-bit one wins.
    Host(13);
    Sim().SetString(kAdapterKey, kValueName, "{64}", sim::RegView::View64);
    Sim().SetString(kAdapterKey, kValueName, kGuid, sim::RegView::View32);
    EXPECT_EQ(1, Read());
    EXPECT_STREQ(kGuid, reinterpret_cast<char*>(data));

    // A key only the 64-bit view has is not found.
    Sim().DeleteKey(kAdapterKey);
    Sim().SetString(kAdapterKey, kValueName, "{64}", sim::RegView::View64);
    EXPECT_EQ(-4, Read());
}

TEST_F(RegistryReader, MissingKeyLeavesTheCallersArgumentsUntouched) {
    Host(12);
    BYTE buffer[16];
    std::memset(buffer, 0xAB, sizeof buffer);
    DWORD t = 0x1234;
    DWORD s = sizeof buffer;
    EXPECT_EQ(-4, ReadRegistryValue("SYSTEM\\Missing\\Key", kValueName, &t, buffer, &s));
    EXPECT_EQ(0x1234u, t);
    EXPECT_EQ(sizeof buffer, s);
    for (BYTE b : buffer) EXPECT_EQ(0xAB, b);
}

TEST_F(RegistryReader, MissingValueGivesMinus5AndClosesTheKey) {
    Host(13);
    Sim().AddKey(kAdapterKey, sim::RegView::View32);
    EXPECT_EQ(-5, Read());
    Sim().SetString(kAdapterKey, "Other", kGuid, sim::RegView::View32);
    EXPECT_EQ(-5, Read());
    // SimTest checks at the end that every key opened was closed.
}

TEST_F(RegistryReader, ValueLargerThanTheBufferGivesMinus5) {
    Host(12);
    Sim().SetString(kAdapterKey, kValueName, kGuid);  // 39 bytes with the terminator
    BYTE buffer[64];
    DWORD t = 0;
    DWORD s = sizeof kGuid - 1;
    EXPECT_EQ(-5, ReadRegistryValue(kAdapterKey, kValueName, &t, buffer, &s));

    // Exactly the stored size fits.
    s = sizeof kGuid;
    EXPECT_EQ(1, ReadRegistryValue(kAdapterKey, kValueName, &t, buffer, &s));
    EXPECT_EQ(sizeof kGuid, s);
}

TEST_F(RegistryReader, HostCodeIsTakenAfreshAtEveryCall) {
    Sim().SetString(kAdapterKey, kValueName, kGuid, sim::RegView::View32);
    Host(13);
    EXPECT_EQ(1, Read());
    EXPECT_EQ(kView32, lastSam);
    // The same machine now reports XP: no view flag.
    Sim().SetVersion(5, 1, 2600);
    EXPECT_EQ(1, Read());
    EXPECT_EQ(kPlain, lastSam);
}

TEST_F(RegistryReader, UnreadableVersionCountsAsOldHost) {
    Host(13);
    Sim().versionFails = true;
    Sim().SetString(kAdapterKey, kValueName, kGuid, sim::RegView::View32);
    EXPECT_EQ(1, Read());
    EXPECT_EQ(0, Sim().isWow64ProcessCalls);
    EXPECT_EQ(kPlain, lastSam);
}

}  // namespace
