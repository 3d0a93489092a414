#include "devices/device_text.h"

#include <cstring>
#include <string>

#include "sim_test.h"

namespace {

// The code page comes from the simulation: 1252, or 932 with double-byte
// characters (lead bytes 0x81-0x9F and 0xE0-0xFC, not every pair assigned).
class DeviceText : public SimTest {
protected:
    LeadByteTest Lead() { return sim::Api().IsDBCSLeadByte; }

    // Upper-cases text (its NULs included) and returns the length or -1.
    int Upper(std::string& text, DWORD capacity) {
        return UpperCaseFirstString(&text[0], capacity, sim::Api().IsDBCSLeadByte,
                                    sim::Api().CharUpperBuffA, sim::Api().MultiByteToWideChar);
    }
    int Contains(const std::string& text, const char* pattern) {
        return ContainsOnCharBoundary(text.data(), static_cast<int>(text.size()), pattern, Lead());
    }
};

TEST_F(DeviceText, UpperCasingStopsAtTheFirstStringAndTheBuffer) {
    std::string ids("usb\\vid_0b7a&pid_\xe9\0pci\\ven_1\0\0", 31);
    EXPECT_EQ(18, Upper(ids, 31));
    EXPECT_EQ(std::string("USB\\VID_0B7A&PID_\xc9\0pci\\ven_1\0\0", 31), ids);

    // No terminator within the capacity: the byte beyond is not touched.
    std::string full = "abcdz";
    EXPECT_EQ(4, Upper(full, 4));
    EXPECT_EQ("ABCDz", full);

    std::string empty(4, '\0');
    EXPECT_EQ(0, Upper(empty, 4));
}

TEST_F(DeviceText, DoubleByteCharactersAreUpperCasedWhole) {
    Sim().codePage = 932;
    // Full-width a becomes full-width A; a trail byte that reads as 'a' stays.
    std::string text("\x82\x81" "\x83\x61" "b", 5);
    text += '\0';
    EXPECT_EQ(5, Upper(text, 6));
    EXPECT_EQ(std::string("\x82\x60" "\x83\x61" "B\0", 6), text);

    // A lead byte without its trail byte is no text of the code page.
    std::string cut("ab\x82\0", 4);
    EXPECT_EQ(-1, Upper(cut, 4));
    std::string atEnd("ab\x82", 3);
    EXPECT_EQ(-1, Upper(atEnd, 3));
    // At the buffer's edge: a lead byte in the last slot is refused though a
    // trail byte lies beyond; a lead and its trail in the last two are kept.
    std::string edge("ab\x82\x81", 4);
    EXPECT_EQ(-1, Upper(edge, 3));
    EXPECT_EQ(std::string("ab\x82\x81", 4), edge);
    EXPECT_EQ(4, Upper(edge, 4));
    EXPECT_EQ(std::string("AB\x82\x60", 4), edge);
    // Nor is one followed by a byte that cannot be a trail byte.
    std::string badTrail("ab\x82\x20z", 6);
    EXPECT_EQ(-1, Upper(badTrail, 6));
    std::string badTrailLast("\x82\x7F", 3);
    EXPECT_EQ(-1, Upper(badTrailLast, 3));
    // Nor one whose pair the code page leaves unassigned.
    std::string unassigned("ab\x85\x40", 5);
    EXPECT_EQ(-1, Upper(unassigned, 5));

    // Text the upper-casing call fails on is not taken as it stands.
    std::string plain("abc\0", 4);
    Sim().failUpperCase = 1;
    EXPECT_EQ(-1, Upper(plain, 4));
    EXPECT_EQ(3, Upper(plain, 4));
}

TEST_F(DeviceText, PatternSearchIsByteExactAnywhereInTheText) {
    const std::string id = "PCI\\VEN_7E57&DEV_7A29";
    for (const char* hit : {"PCI", "VEN_7E57", "DEV_7A29", "PCI\\VEN_7E57&DEV_7A29", ""})
        EXPECT_EQ(1, Contains(id, hit)) << hit;
    for (const char* miss : {"ven_7e57", "DEV_7A290", "VEN_7E58", "X"})
        EXPECT_EQ(0, Contains(id, miss)) << miss;
    EXPECT_EQ(1, Contains("", ""));
    // Only the given length is searched.
    EXPECT_EQ(0, ContainsOnCharBoundary("ABCDEF", 3, "CD", Lead()));
}

TEST_F(DeviceText, InADoubleByteCodePageAnOccurrenceStartsOnACharacter) {
    const std::string text("\x82\x60" "X" "\x83\x41" "B", 6);
    Sim().codePage = 932;
    EXPECT_EQ(0, Contains(text, "\x60X"));  // would begin on a trail byte
    EXPECT_EQ(0, Contains(text, "AB"));
    EXPECT_EQ(1, Contains(text, "\x82\x60X"));
    EXPECT_EQ(1, Contains(text, "B"));
    // The same bytes in a single-byte code page are all characters.
    Sim().codePage = 1252;
    EXPECT_EQ(1, Contains(text, "\x60X"));
    EXPECT_EQ(1, Contains(text, "AB"));
}

TEST_F(DeviceText, DriverSuffixIsTheKeysLastFourCharactersAsRead) {
    char suffix[8] = "junk";
    const std::string key = "{4D36E972-E325-11CE-BFC1-08002BE10318}\\0012";
    const DWORD n = static_cast<DWORD>(key.size() + 1);
    DriverSuffixFromKey(suffix, key.c_str(), TRUE, n, 256);
    EXPECT_STREQ("0012", suffix);
    DriverSuffixFromKey(suffix, "{X}\\0003", TRUE, 9, 256);
    EXPECT_STREQ("0003", suffix);
    DriverSuffixFromKey(suffix, "0007", TRUE, 5, 256);
    EXPECT_STREQ("0007", suffix);

    // A size counted in UTF-16 bytes, or anything else past the text, does
    // not move the suffix into the buffer's zeroed tail.
    char buffer[256] = {};
    std::memcpy(buffer, key.c_str(), key.size());
    for (DWORD reported : {2 * n, 2 * n - 2, DWORD{256}, DWORD{600}}) {
        std::strcpy(suffix, "junk");
        DriverSuffixFromKey(suffix, buffer, TRUE, reported, sizeof buffer);
        EXPECT_STREQ("0012", suffix) << reported;
    }
    // The reported size still bounds the text: nothing past it is read.
    DriverSuffixFromKey(suffix, "ABCDEFGH", TRUE, 6, 256);
    EXPECT_STREQ("CDEF", suffix);
    const std::string full(256, '7');
    DriverSuffixFromKey(suffix, full.c_str(), TRUE, 256, 256);
    EXPECT_STREQ("7777", suffix) << "an unterminated buffer ends at its size";

    for (DWORD bad : {0u, 4u}) {
        std::strcpy(suffix, "junk");
        DriverSuffixFromKey(suffix, "012", TRUE, bad, 256);
        EXPECT_STREQ("", suffix) << bad;
    }
    std::strcpy(suffix, "junk");
    DriverSuffixFromKey(suffix, "0123", TRUE, 3, 256);
    EXPECT_STREQ("", suffix) << "bounded to three characters";
    std::strcpy(suffix, "junk");
    DriverSuffixFromKey(suffix, key.c_str(), FALSE, n, 256);
    EXPECT_STREQ("", suffix);
}

TEST_F(DeviceText, CutCopiesStayWithinBothBuffersAndKeepCharactersWhole) {
    char dest[8];
    EXPECT_EQ(3u, CopyTextCut(dest, sizeof dest, "abc", 256, Lead()));
    EXPECT_STREQ("abc", dest);
    EXPECT_EQ(7u, CopyTextCut(dest, sizeof dest, "abcdefghij", 256, Lead()));
    EXPECT_STREQ("abcdefg", dest);
    // An unterminated source ends at its capacity.
    EXPECT_EQ(4u, CopyTextCut(dest, sizeof dest, "wxyzXXXX", 4, Lead()));
    EXPECT_STREQ("wxyz", dest);

    Sim().codePage = 932;
    // The character at bytes 6-7 would lose its trail byte: it goes whole.
    EXPECT_EQ(6u, CopyTextCut(dest, sizeof dest, "abcdef\x82\x60", 256, Lead()));
    EXPECT_STREQ("abcdef", dest);
    EXPECT_EQ(7u, CopyTextCut(dest, sizeof dest, "abc\x82\x60" "de", 256, Lead()));
    EXPECT_STREQ("abc\x82\x60" "de", dest);
    // A lead byte cut off from its trail byte by the source's end is dropped.
    EXPECT_EQ(2u, CopyTextCut(dest, sizeof dest, "ab\x82", 3, Lead()));
    EXPECT_STREQ("ab", dest);

    EXPECT_EQ(3u, BoundedTextLength("abc\0def", 7));
    EXPECT_EQ(2u, BoundedTextLength("abc", 2));
}

}  // namespace
