// The check tool over the simulated Windows: which device stands, the exit
// code for the first missing link, the warnings, the suggested pattern and
// the JSON text.
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "check/check_decide.h"
#include "check/check_entry.h"
#include "check/check_facts.h"
#include "check/json_writer.h"
#include "sim_services.h"
#include "sim_setupapi.h"
#include "sim_test.h"

namespace {

const char kFolder[] = "C:\\Program Files\\Tolvane\\";
const char kGuid[] = "{7E57C4EC-0000-4000-8000-0000000000A1}";
const char kBtId[] = "USB\\VID_0B7C&PID_7B01&REV_0112";
const char kWifiId[] = "PCI\\VEN_7E57&DEV_7A37&SUBSYS_12117E57&REV_00";

std::string PathOf(const char* guid) { return std::string("\\\\.\\") + guid; }

class Check : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        Sim().exePath = std::string(kFolder) + "tolvane-check.exe";
        ReadSettingsOf(kServiceExeName);
        facts = new CheckFacts();
    }
    void TearDown() override {
        delete facts;
        ReadSettingsOf(nullptr);
        SimTest::TearDown();
    }

    // tolvane.ini beside the check tool, wherever it now is.
    void Settings(const std::string& bt, const std::string& wifi, const std::string& more = "") {
        const std::string& exe = Sim().exePath;
        Sim().WriteFile(exe.substr(0, exe.rfind('\\') + 1) + "tolvane.ini",
                        more + "[Settings]\nBTHWID=" + bt + "\nWiFiHWID=" + wifi + "\n");
    }
    // A started adapter whose path opens.
    void AddAdapter(const char* id = kWifiId, bool started = true) {
        sim::AddWifiAdapter(id, "0007", kGuid, started);
        Sim().AddDevice(PathOf(kGuid));
    }
    void Register(const std::string& imagePath, DWORD state = SERVICE_RUNNING) {
        sim::SimService s;
        s.name = "Tolvane_QM5520";
        s.imagePath = imagePath;
        s.state = state;
        sim::Scm().services["tolvane_qm5520"] = s;
    }
    int Gather() {
        GatherFacts(facts);
        return CheckExitCode(*facts);
    }
    std::string Warnings() {
        CheckWarning w[kWarningCapacity];
        std::string names;
        for (int i = 0, n = CollectWarnings(*facts, w); i < n; ++i)
            names += std::string(w[i].about ? w[i].about->key : "-") + ":" +
                     WarningName(w[i].kind) + " ";
        return names;
    }
    std::string Suggested(const ClassFacts& c) {
        char out[kPatternCapacity];
        return SuggestedPattern(c, sim::Api().IsDBCSLeadByte, out) ? out : "<none>";
    }

    CheckFacts* facts = nullptr;
};

TEST_F(Check, TheLastMatchStandsAndOnlyTheAdapterPathIsOpened) {
    Settings("VID_0B7C", "VEN_7E57");
    sim::AddBluetoothDevice("USB\\VID_0B7C&PID_0001", "0000", true);
    sim::AddBluetoothDevice("MACHINE\\SPARE", "0001", true);
    sim::AddBluetoothDevice(kBtId, "0002", false);
    AddAdapter();

    EXPECT_EQ(kCheckWouldTell, Gather());
    const ClassFacts& bt = facts->bluetooth;
    EXPECT_EQ(3u, bt.present);
    EXPECT_EQ(2u, bt.matches);
    EXPECT_EQ(2, bt.standing) << "the last match stands";
    EXPECT_EQ(0, bt.standingStarted);
    EXPECT_EQ(1, bt.devices[0].started);
    EXPECT_EQ(0, bt.devices[1].matched);
    EXPECT_STREQ(kBtId, bt.devices[2].hardwareId);
    EXPECT_EQ("BTHWID:several-matches ", Warnings());

    const ClassFacts& net = facts->net;
    EXPECT_EQ(0, net.standing);
    EXPECT_EQ(PathOf(kGuid), net.payload.DevicePath);
    EXPECT_STREQ(kGuid, net.payload.InstanceId);
    EXPECT_STREQ("0007", net.payload.DriverSuffix);
    EXPECT_EQ(1, net.pathOpens);

    // Opened once, as a send opens it, and sent nothing.
    ASSERT_EQ(1u, Sim().fileOpens.size());
    const sim::FileOpen& open = Sim().fileOpens[0];
    EXPECT_EQ(0u, open.access);
    EXPECT_EQ(static_cast<DWORD>(FILE_SHARE_READ), open.share);
    EXPECT_EQ(static_cast<DWORD>(OPEN_EXISTING), open.disposition);
    EXPECT_EQ(INVALID_HANDLE_VALUE, open.templ);
    EXPECT_TRUE(Sim().driverRequests.empty());

    // The device meant is the one that stands, not the started one.
    EXPECT_EQ("VID_0B7C&PID_7B01", Suggested(bt));
    EXPECT_EQ("VEN_7E57&DEV_7A37", Suggested(net));
}

TEST_F(Check, ExitCodeNamesTheFirstMissingLink) {
    Settings("", "VEN_7E57");
    EXPECT_EQ(kCheckNoAdapterMatch, Gather());

    AddAdapter(kWifiId, false);
    EXPECT_EQ(kCheckAdapterNotStarted, Gather());

    sim::SetStarted(sim::SetupState().devices.back().devInst, true);
    Sim().devices.clear();
    EXPECT_EQ(kCheckPathDoesNotOpen, Gather());
    EXPECT_EQ("WiFiHWID:path-does-not-open ", Warnings());

    Sim().DeleteKey(
        "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007");
    EXPECT_EQ(kCheckPathUnresolved, Gather());
    EXPECT_EQ("WiFiHWID:path-unresolved ", Warnings());

    sim::AddNetAdapterKey("0007", kGuid);
    Sim().AddDevice(PathOf(kGuid));
    EXPECT_EQ(kCheckWouldTell, Gather());
    EXPECT_EQ("", Warnings());

    // A refused pattern, and every setting refused, outrank the rest.
    Settings("", std::string(64, 'A'));
    EXPECT_EQ(kCheckNoSettings, Gather());
    EXPECT_EQ(-1, facts->net.standing) << "the service looks for nothing";
    EXPECT_EQ(1u, facts->net.present) << "the adapter is still listed";
    EXPECT_EQ("WiFiHWID:pattern-refused ", Warnings());
    Settings("", "VEN_7E57");
    Sim().exePath = std::string(kFolder) + std::string(kExePathCapacity, 'x') + ".exe";
    EXPECT_EQ(kCheckNoSettings, Gather());
    EXPECT_EQ(0, facts->settings.keys[kSettingWifiPattern].read);
    EXPECT_EQ("-:settings-unreadable ", Warnings()) << "not blamed on the patterns";
}

TEST_F(Check, WarningsShowTheLikelyMistakes) {
    // No file: empty patterns match every device, and the last one stands.
    sim::AddBluetoothDevice(kBtId, "0000", true);
    sim::AddBluetoothDevice("MACHINE\\SPARE", "0001", false);
    AddAdapter();
    Register("C:\\Other\\tolvane.exe");
    EXPECT_EQ(kCheckWouldTell, Gather());
    EXPECT_EQ(0, facts->settings.fileExists);
    EXPECT_EQ(0, facts->settings.keys[kSettingBluetoothPattern].fromFile);
    EXPECT_EQ(1, facts->bluetooth.standing);
    EXPECT_EQ("-:service-elsewhere BTHWID:empty-pattern-matches-several ", Warnings());
    EXPECT_STREQ("C:\\Other\\tolvane.ini", facts->service.settingsFile);

    // Lower case never matches; the suggestion names the only device meant
    // when none matches (here the adapter, alone in its class).
    Settings("vid_0b7c", "ven_7e57");
    Register("\"C:\\PROGRAM FILES\\Tolvane\\TOLVANE.EXE\"", SERVICE_STOPPED);
    EXPECT_EQ(kCheckNoAdapterMatch, Gather());
    EXPECT_EQ(1, facts->settings.keys[kSettingWifiPattern].fromFile);
    EXPECT_EQ(0, facts->settings.keys[kSettingModel].fromFile);
    EXPECT_EQ(1, facts->service.besideSettings) << "paths compare without case or quotes";
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), facts->service.state);
    EXPECT_EQ("BTHWID:pattern-lower-case WiFiHWID:pattern-lower-case ", Warnings());
    EXPECT_EQ("<none>", Suggested(facts->bluetooth)) << "two present, none matched";
    EXPECT_EQ("VEN_7E57&DEV_7A37", Suggested(facts->net));

    // A model too long for a service name: nothing is addressed.
    Settings("", "VEN_7E57", "[Product]\nModel=" + std::string(56, 'M') + "\n");
    EXPECT_EQ(kCheckWouldTell, Gather());
    EXPECT_EQ(0, facts->service.registered);
    EXPECT_EQ("-:service-name-refused BTHWID:empty-pattern-matches-several ", Warnings());
}

TEST_F(Check, EntryPrintsTheUsageOrOneReportAndReturnsItsCode) {
    char prog[] = "tolvane-check.exe";
    char unknown[] = "/install";
    char help[] = "/?";
    char json[] = "/JSON";
    char* withUnknown[] = {prog, unknown};
    EXPECT_EQ(kCheckUnknownOption, CheckEntry(2, withUnknown));
    EXPECT_EQ(0u, Sim().stdoutText.find("Usage: tolvane-check"));
    EXPECT_NE(std::string::npos, Sim().stdoutText.find("\n  6  unknown option"));
    char* withHelp[] = {prog, help};
    Sim().stdoutText.clear();
    EXPECT_EQ(0, CheckEntry(2, withHelp));
    EXPECT_EQ(0u, Sim().stdoutText.find("Usage: tolvane-check"));
    EXPECT_TRUE(sim::Scm().calls.empty()) << "the usage looks at nothing";

    // A long ID and a long folder: the plain report still fits the console.
    Sim().exePath = "C:\\" + std::string(150, 'F') + "\\tolvane-check.exe";
    Settings("VID_0B7C", "VEN_7E57");
    sim::AddBluetoothDevice(kBtId + std::string("&") + std::string(120, 'Z'), "0000", true);
    AddAdapter();
    Sim().stdoutText.clear();
    char* plain[] = {prog};
    EXPECT_EQ(kCheckWouldTell, CheckEntry(1, plain));
    std::istringstream lines(Sim().stdoutText);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 79u) << line;
    EXPECT_NE(std::string::npos, Sim().stdoutText.find("Suggested pattern   VID_0B7C&PID_7B01\n"));

    char* asJson[] = {prog, json};
    Sim().stdoutText.clear();
    EXPECT_EQ(kCheckWouldTell, CheckEntry(2, asJson));
    EXPECT_EQ(0u, Sim().stdoutText.find("{\n  \"exitCode\": 0,\n  \"result\": \"would-tell\","));
    EXPECT_NE(std::string::npos,
              Sim().stdoutText.find("\"suggestedPattern\": \"VEN_7E57&DEV_7A37\""));
}

std::string Suggest(const std::vector<const char*>& ids, DWORD index) {
    char out[kPatternCapacity];
    return SuggestPattern(ids.data(), static_cast<DWORD>(ids.size()), index,
                          sim::Api().IsDBCSLeadByte, out)
               ? out : "<none>";
}

TEST_F(Check, SuggestedPatternIsTheShortestFieldThatNamesTheDeviceAlone) {
    // Never a lone vendor or bus: at least two pieces of the device part.
    EXPECT_EQ("VID_0B7C&PID_7B01", Suggest({kBtId, "MACHINE\\SPARE"}, 0));
    EXPECT_EQ("VID_0B7C&PID_7B01", Suggest({kBtId}, 0));
    // Another revision of the same product: the revision is needed.
    EXPECT_EQ("VID_0B7C&PID_7B01&REV_0112",
              Suggest({"USB\\VID_0B7C&PID_7B01&REV_0001", kBtId}, 1));
    // A one-piece part is its own field; then the whole ID; then none.
    EXPECT_EQ("SPARE", Suggest({"MACHINE\\SPARE", kBtId}, 0));
    EXPECT_EQ("ROOT\\SPARE", Suggest({"MACHINE\\SPARE", "ROOT\\SPARE"}, 1));
    EXPECT_EQ("<none>", Suggest({kBtId, kBtId}, 1));
    EXPECT_EQ("<none>", Suggest({"MACHINE\\SPARE", "MACHINE\\SPARE2"}, 0));
    // A device whose ID is not valid text matches nothing and hides nothing.
    EXPECT_EQ("VID_0B7C&PID_7B01", Suggest({nullptr, kBtId}, 1));
    EXPECT_EQ("<none>", Suggest({nullptr, kBtId}, 0));
    // A field the service would refuse is passed over.
    std::string longPart = "USB\\" + std::string(70, 'L') + "&PID_1";
    EXPECT_EQ("<none>", Suggest({longPart.c_str()}, 0));

    // Code page 932: 0x5C after a lead byte is a trail byte, not a separator.
    Sim().codePage = 932;
    const char dbcs[] = "USB\\VID_\x83\x5C" "A&PID_1&REV_2";
    EXPECT_EQ("VID_\x83\x5C" "A&PID_1", Suggest({dbcs}, 0));
}

class JsonText : public SimTest {};

TEST_F(JsonText, EveryStringIsEscapedAsAsciiJson) {
    // Code page 1252.
    Out out;
    OutStart(&out);
    JsonWriter w;
    JsonStart(&w, &out, sim::Api().IsDBCSLeadByte, sim::Api().MultiByteToWideChar);
    JsonBeginObject(&w, nullptr);
    JsonString(&w, "hardwareId", "USB\\VID_0B7C&PID_\"7B01\"\xE9\x80\x81");
    JsonString(&w, "controls", "a\tb\nc\x01\x7F");
    JsonBeginArray(&w, "empty");
    JsonEndArray(&w);
    JsonNumber(&w, "n", -12);
    JsonString(&w, "none", nullptr);
    JsonEndObject(&w);
    out.text[out.length] = '\0';
    EXPECT_EQ(std::string("{\n"
                          "  \"hardwareId\": "
                          "\"USB\\\\VID_0B7C&PID_\\\"7B01\\\"\\u00e9\\u20ac\\u0081\",\n"
                          "  \"controls\": \"a\\tb\\nc\\u0001\x7F\",\n"
                          "  \"empty\": [],\n"
                          "  \"n\": -12,\n"
                          "  \"none\": null\n"
                          "}\n"),
              out.text);

    // A lead byte's character is converted whole; one the code page refuses
    // becomes U+FFFD rather than a byte that is not UTF-8.
    Sim().codePage = 932;
    OutStart(&out);
    JsonEscaped(&out, "\x82\xA0|\x82\x20|\x82", sim::Api().IsDBCSLeadByte,
                sim::Api().MultiByteToWideChar);
    out.text[out.length] = '\0';
    EXPECT_STREQ("\"\\u3042|\\ufffd |\\ufffd\"", out.text);
}

}  // namespace
