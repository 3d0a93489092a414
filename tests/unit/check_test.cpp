// The check tool over the simulated Windows: which device stands, the exit
// code for the first missing link, the warnings, the suggested pattern and
// the JSON text.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <windows.h>
#include <sddl.h>

#include "check/check_decide.h"
#include "check/check_entry.h"
#include "check/check_facts.h"
#include "check/text_out.h"
#include "check/json_writer.h"
#include "expected_files.h"
#include "radio/coordinator.h"
#include "host/registry_reader.h"
#include "radio/driver_status.h"
#include "sim_services.h"
#include "sim_setupapi.h"
#include "sim_test.h"

namespace {

const char kFolder[] = "C:\\Program Files\\Tolvane\\";
const char kGuid[] = "{7E57C4EC-0000-4000-8000-0000000000A1}";
const char kBtId[] = "USB\\VID_0B7C&PID_7B01&REV_0112";
const char kWifiId[] = "PCI\\VEN_7E57&DEV_7A37&SUBSYS_12117E57&REV_00";

// A folder under Program Files as Windows makes it: CREATOR OWNER, SYSTEM,
// Administrators and Users for what is made in it, TrustedInstaller's own.
const char kOrdinaryFolder[] =
    "D:PAI(A;OICIIO;GA;;;CO)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;BA)"
    "(A;;0x1301bf;;;BA)(A;OICIIO;GXGR;;;BU)(A;;0x1200a9;;;BU)"
    "(A;CIIO;GA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
    "(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)";

// TrustedInstaller, Program Files' owner.
const char kTrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// A file in such a folder.
const char kOrdinaryFile[] = "D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";

// A system drive's root as Windows sets it: signed-in users may add a
// folder, and whatever is made in it gives them Modify.
const char kDriveRoot[] = "O:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
                          "(A;OICIIO;0x1301bf;;;AU)(A;;0x4;;;AU)";

std::string PathOf(const char* guid) { return std::string("\\\\.\\") + guid; }

class Check : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        Sim().exePath = std::string(kFolder) + "tolvane-check.exe";
        ReadSettingsOf(kServiceExeName);
        Sim().SetAccess("C:\\", kDriveRoot);
        for (const char* folder : {"C:\\Program Files", "C:\\Program Files (x86)"})
            Sim().SetAccess(folder, (std::string("O:") + kTrustedInstaller + kOrdinaryFolder).c_str());
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
    // As /install registers it.
    void Register(const std::string& imagePath, DWORD state = SERVICE_RUNNING) {
        sim::SimService s;
        s.name = "Tolvane_QM5520";
        s.imagePath = imagePath;
        s.state = state;
        s.requiredPrivileges = {"SeChangeNotifyPrivilege"};
        sim::Scm().services["tolvane_qm5520"] = s;
        Sim().AddKey("SYSTEM\\CurrentControlSet\\Services\\Tolvane_QM5520");
        // The exe it names, of this check's version, and its event source.
        const bool quoted = imagePath[0] == '"';
        const std::string exe = imagePath.substr(quoted, imagePath.size() - 2 * quoted);
        Sim().images[sim::Lower(exe)] = sim::VersionBlock(1, 0, 0, 0);
        RegisterSource(s.name, exe);
    }
    void RegisterSource(const std::string& name, const std::string& exe) {
        const std::string key = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
        Sim().SetValue(sim::RegView::Shared, key + name, "EventMessageFile", REG_EXPAND_SZ,
                       exe + '\0');
        Sim().SetValue(sim::RegView::Shared, key + name, "TypesSupported", REG_DWORD,
                       std::string("\7\0\0\0", 4));
    }
    int Gather() {
        GatherFacts(facts);
        DecideVerdict(*facts, sim::Api().IsDBCSLeadByte, &verdict);
        return verdict.exitCode;
    }
    std::string Warnings() {
        std::string names;
        for (int i = 0; i < verdict.warningCount; ++i) {
            const char* subject = WarningSubject(verdict.warnings[i]);
            names += std::string(subject ? subject : "-") + ":" +
                     WarningName(verdict.warnings[i].kind) + " ";
        }
        return names;
    }
    // The entry's report (plain, or /json) with its exit code.
    std::string Report(bool json = false, int* code = nullptr) {
        char prog[] = "tolvane-check.exe";
        char option[] = "/json";
        char* argv[] = {prog, option};
        Sim().stdoutText.clear();
        const int rc = CheckEntry(json ? 2 : 1, argv);
        if (code != nullptr) *code = rc;
        return Sim().stdoutText;
    }
    std::string Suggested(const ClassFacts& c) {
        char out[kPatternCapacity];
        return SuggestedPattern(c, sim::Api().IsDBCSLeadByte, out) ? "<none>" : out;
    }

    // The longest values the settings allow, a hardware ID as long as the
    // property buffer takes and a settings path at the limit, on a machine
    // where the service would tell.
    struct Longest {
        std::string folder, btPattern, wifiPattern, model, display, btId, wifiId;
    };
    Longest LongestValues() {
        Longest v;
        v.folder = "C:\\" + std::string(244, 'F') + "\\";
        Sim().exePath = v.folder + "tolvane-check.exe";
        v.btPattern = "VID_0B7C&PID_7B01&" + std::string(45, 'B');
        v.wifiPattern = "VEN_7E57&DEV_7A37&SUBSYS_" + std::string(38, 'W');
        v.model = std::string(55, 'M');
        while (v.display.size() < 120) v.display += "Verdin Service ";
        v.display = v.display.substr(0, 120) + "Radio!!";
        Settings(v.btPattern, v.wifiPattern,
                 "[Product]\nModel=" + v.model + "\nServiceDisplayName=" + v.display + "\n");
        v.btId = "USB\\" + v.btPattern + "&" + std::string(186, 'Z');
        v.wifiId = "PCI\\" + v.wifiPattern;
        sim::AddBluetoothDevice(v.btId, "0000", true);
        AddAdapter(v.wifiId.c_str());
        sim::SimService s;
        s.name = "Tolvane_" + v.model;
        s.imagePath = "\"" + v.folder + "tolvane.exe\"";
        s.state = SERVICE_RUNNING;
        sim::Scm().services[sim::Lower(s.name)] = s;
        RegisterSource(s.name, v.folder + "tolvane.exe");
        return v;
    }

    CheckFacts* facts = nullptr;
    CheckVerdict verdict;
};

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(Check, TheLastMatchStandsAndOnlyTheAdapterPathIsOpened) {
    Settings("VID_0B7C", "VEN_7E57");
    sim::AddBluetoothDevice("USB\\VID_0B7C&PID_0001", "0000", true);
    sim::AddBluetoothDevice("MACHINE\\SPARE", "0001", true);
    sim::AddBluetoothDevice(kBtId, "0002", false);
    AddAdapter();
    Register("\"C:\\Program Files\\Tolvane\\tolvane.exe\"");

    EXPECT_EQ(kCheckWouldTell, Gather());
    const ClassFacts& bt = facts->bluetooth;
    EXPECT_EQ(3u, bt.present);
    EXPECT_EQ(2u, bt.matches);
    EXPECT_EQ(2, bt.standing) << "the last match stands";
    EXPECT_EQ(0, bt.standingStarted);
    EXPECT_EQ(0, verdict.bluetooth.sendState) << "the device that stands is stopped";
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

    // The settings file opened as the profile read opens it, shared, and
    // read; the path once, as a send opens it, and sent nothing.
    ASSERT_EQ(2u, Sim().fileOpens.size());
    EXPECT_EQ(std::string(kFolder) + "tolvane.ini", Sim().fileOpens[0].path);
    EXPECT_EQ(static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE), Sim().fileOpens[0].share);
    EXPECT_EQ(0, Sim().OpenHandles()) << "the settings file is closed";
    const sim::FileOpen& open = Sim().fileOpens[1];
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
    EXPECT_EQ(2u, Sim().fileOpens.size())
        << "two gathers open the settings file, never a stopped adapter's path";

    sim::SetStarted(sim::SetupState().devices.back().devInst, true);
    Sim().devices.clear();
    EXPECT_EQ(kCheckPathDoesNotOpen, Gather());
    EXPECT_EQ("WiFiHWID:path-does-not-open ", Warnings());

    Sim().DeleteKey(
        "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007");
    EXPECT_EQ(kCheckPathUnresolved, Gather());
    EXPECT_EQ("WiFiHWID:path-unresolved ", Warnings());

    sim::AddNetAdapterKey("0007", kGuid);
    Sim().AddDevice(PathOf(kGuid)).usersDenied = true;
    EXPECT_EQ(kCheckServiceNotRegistered, Gather()) << "an administrator opens it";
    EXPECT_EQ("", Warnings());

    // The service's links come after the devices': registered, then running.
    Register("\"C:\\Program Files\\Tolvane\\tolvane.exe\"", SERVICE_STOPPED);
    for (DWORD state : {SERVICE_STOPPED, SERVICE_START_PENDING, SERVICE_STOP_PENDING,
                        SERVICE_PAUSED}) {
        sim::Scm().services["tolvane_qm5520"].state = state;
        EXPECT_EQ(kCheckServiceNotRunning, Gather()) << state;
    }
    sim::Scm().services["tolvane_qm5520"].state = SERVICE_RUNNING;
    EXPECT_EQ(kCheckWouldTell, Gather());
    // Deleted while a handle keeps it: it still runs, and goes at its stop.
    SC_HANDLE manager = sim::Api().OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE held = sim::Api().OpenServiceA(manager, "Tolvane_QM5520", DELETE);
    ASSERT_TRUE(sim::Api().DeleteService(held));
    EXPECT_EQ(kCheckServiceNotRegistered, Gather());
    EXPECT_EQ(1, facts->service.registered);
    Sim().SetValue(sim::RegView::Shared, "SYSTEM\\CurrentControlSet\\Services\\Tolvane_QM5520",
                   "DeleteFlag", REG_DWORD, std::string(4, '\0'));
    EXPECT_EQ(kCheckWouldTell, Gather()) << "a flag of 0 marks nothing";
    sim::Api().CloseServiceHandle(held);
    sim::Api().CloseServiceHandle(manager);
    // A standard user refused the query cannot tell: elevated, it is not registered.
    sim::Scm().services["tolvane_qm5520"].usersDenied = true;
    sim::Scm().admin = false;
    Sim().FindDevice(PathOf(kGuid))->usersDenied = false;
    EXPECT_EQ(kCheckAccessDenied, Gather());
    Sim().elevatedNonAdministrator = true;
    EXPECT_EQ(kCheckServiceNotRegistered, Gather());
    Sim().elevatedNonAdministrator = false;
    sim::Scm().admin = true;
    sim::Scm().services.erase("tolvane_qm5520");
    Sim().FindDevice(PathOf(kGuid))->usersDenied = true;

    // A standard user is refused where LocalSystem is not: not "does not open".
    sim::Scm().admin = false;
    EXPECT_EQ(kCheckAccessDenied, Gather());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), facts->net.pathError);
    EXPECT_EQ("WiFiHWID:path-access-denied ", Warnings());
    const std::string json = Report(true);
    EXPECT_TRUE(Has(json, "\"result\": \"access-denied\"")) << json;
    EXPECT_TRUE(Has(json, "\"pathError\": 5")) << json;
    EXPECT_TRUE(Has(Report(), "  Path opens          unknown: access denied to this user (error 5)\n"));
    Sim().devices.clear();
    EXPECT_EQ(kCheckPathDoesNotOpen, Gather());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), facts->net.pathError);
    EXPECT_TRUE(Has(Report(), "  Path opens          no (error 2)\n"));

    // An elevated administrator refused by the driver: elevation is no
    // remedy. Before Vista, membership of Administrators stands for it.
    Sim().AddDevice(PathOf(kGuid)).adminsDenied = true;
    for (bool beforeVista : {false, true}) {
        Sim().tokenElevationUnknown = beforeVista;
        sim::Scm().admin = true;
        EXPECT_EQ(kCheckPathDoesNotOpen, Gather()) << beforeVista;
        EXPECT_EQ(1, facts->host.elevated);
        EXPECT_EQ("WiFiHWID:path-refused-to-administrator ", Warnings());
        EXPECT_TRUE(Has(Report(), "  Path opens          no: the driver refuses an administrator "
                                  "(error 5)\n"));
        EXPECT_TRUE(Has(Report(true), "\"elevated\": true,\n    \"administrator\": true\n"));
        sim::Scm().admin = false;
        EXPECT_EQ(kCheckAccessDenied, Gather()) << beforeVista;
        EXPECT_EQ(0, facts->host.elevated);
    }
    // Elevated outside Administrators (a Backup Operator): not told to run
    // elevated, nor that the driver refused an administrator.
    Sim().tokenElevationUnknown = false;
    Sim().elevatedNonAdministrator = true;
    EXPECT_EQ(kCheckPathDoesNotOpen, Gather());
    EXPECT_EQ(1, facts->host.elevated);
    EXPECT_EQ(0, facts->host.administrator);
    EXPECT_EQ("WiFiHWID:path-access-denied ", Warnings());
    EXPECT_TRUE(Has(Report(), "  Path opens          unknown: access denied to this user (error 5)\n"));
    Sim().elevatedNonAdministrator = false;
    EXPECT_EQ(0, Sim().OpenHandles()) << "the token is closed";
    sim::Scm().admin = true;
    Sim().devices.clear();

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

    // A folder the code page cannot spell is named as the "A" call reads it.
    Sim().exePathWide = L"C:\\\x0418\x043D\\tolvane-check.exe";
    EXPECT_EQ(kCheckNoSettings, Gather());
    EXPECT_EQ(kSettingsExeUnspelled, facts->settings.located);
    EXPECT_EQ("-:exe-folder-unspelled ", Warnings());
    EXPECT_TRUE(Has(Report(), "\n  Program             C:\\??\\tolvane-check.exe\n"));
    EXPECT_TRUE(Has(Report(true), "\"exeSpelled\": false,"));
    Sim().exePathWide.clear();

    // A settings file only administrators may read: its values are not
    // shown as the service's, and its defaults name no service or match.
    Settings("", "VEN_7E57");
    Sim().filesDenied.insert(sim::Lower(std::string(kFolder) + "tolvane.ini"));
    Sim().exePath = std::string(kFolder) + "tolvane-check.exe";
    sim::Scm().admin = false;
    EXPECT_EQ(kCheckAccessDenied, Gather());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), facts->settings.fileError);
    EXPECT_EQ(1, facts->settings.fileExists);
    EXPECT_EQ(0, facts->settings.nameDerived);
    EXPECT_EQ(-1, facts->net.standing);
    EXPECT_EQ("-:settings-access-denied ", Warnings());
    std::string report = Report();
    EXPECT_TRUE(Has(report, "  Readable            unknown: access denied to this user (error 5)\n"
                            "  Values              unknown: the file is refused to this user\n"));
    EXPECT_TRUE(Has(report, "\nNet class, WiFiHWID unknown\n")) << report;
    report = Report(true);
    EXPECT_TRUE(Has(report, "\"readable\": false,")) << report;
    EXPECT_TRUE(Has(report, "\"value\": null,\n        \"source\": \"unknown\"")) << report;
    sim::Scm().admin = true;
    EXPECT_EQ(0, facts->settings.fileOpens);
    Gather();
    EXPECT_EQ(1, facts->settings.fileOpens) << "an administrator reads it";
    EXPECT_STREQ("VEN_7E57", facts->net.pattern);
    // Refused even to an elevated administrator: elevation is no remedy.
    Sim().filesSystemOnly.insert(sim::Lower(std::string(kFolder) + "tolvane.ini"));
    EXPECT_EQ(kCheckNoSettings, Gather());
    EXPECT_EQ("-:settings-refused-elevated ", Warnings());
    EXPECT_TRUE(Has(Report(), "  Readable            no: access denied even elevated (error 5)\n"));
    Sim().filesSystemOnly.clear();

    // A settings file the profile read cannot open is refused the same way,
    // and the report shows the file it would have read.
    const std::string folder = std::string(kFolder) + std::string(223, 'f') + "\\";
    Sim().exePath = folder + "tolvane-check.exe";
    Settings("", "VEN_7E57");
    ASSERT_EQ(MAX_PATH, (folder + "tolvane.ini").size()) << "no room left for the terminator";
    EXPECT_EQ(kCheckNoSettings, Gather());
    EXPECT_EQ(kSettingsFileOutOfReach, facts->settings.located);
    EXPECT_EQ(folder + "tolvane.ini", facts->settings.file);
    EXPECT_EQ("-:settings-path-too-long ", Warnings());
    const std::string text = Report();
    EXPECT_TRUE(Has(text, "\n" + folder + "tolvane.ini\n")) << "whole, on a line of its own";
    EXPECT_TRUE(Has(text, "longer than 259 characters")) << text;
    EXPECT_TRUE(Has(Report(true), "\"fileInReach\": false"));
    Sim().exePath = folder.substr(1) + "tolvane-check.exe";
    EXPECT_EQ(kCheckPathDoesNotOpen, Gather()) << "one character shorter is read";
    EXPECT_EQ(kSettingsFileNamed, facts->settings.located);
}

TEST_F(Check, WarningsShowTheLikelyMistakes) {
    // No file: empty patterns match every device, and the last one stands.
    sim::AddBluetoothDevice(kBtId, "0000", true);
    sim::AddBluetoothDevice("MACHINE\\SPARE", "0001", false);
    AddAdapter();
    Register("C:\\Other\\tolvane.exe");
    EXPECT_EQ(kCheckWouldTell, Gather());
    EXPECT_EQ(0, facts->settings.fileExists);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), facts->settings.fileError);
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
    EXPECT_EQ(kCheckServiceNotRegistered, Gather());
    EXPECT_EQ(0, facts->service.registered);
    EXPECT_EQ("-:service-name-refused BTHWID:empty-pattern-matches-several ", Warnings());

    // Saved as UTF-8 with a mark before its first section: Windows misses
    // that section (Model reads as its default); a mark on a line of its own
    // hides nothing.
    Settings("", "VEN_7E57", "\xEF\xBB\xBF \t[Product]\nModel=MEB\n");
    Gather();
    EXPECT_EQ("-:settings-utf8-mark BTHWID:empty-pattern-matches-several ", Warnings());
    EXPECT_STREQ("Tolvane_QM5520", facts->settings.serviceName);
    Settings("", "VEN_7E57", "\xEF\xBB\xBF\n[Product]\nModel=MEB\n");
    Gather();
    EXPECT_EQ("BTHWID:empty-pattern-matches-several ", Warnings());
    const BYTE cut[] = {0xEF, 0xBB, 0xBF, ' ', '['};
    EXPECT_EQ(1, Utf8MarkBeforeSection(cut, 5));
    EXPECT_EQ(0, Utf8MarkBeforeSection(cut, 4)) << "no header within the bytes read";
    EXPECT_EQ(0, Utf8MarkBeforeSection(cut + 1, 4));

    // Another model's service has the display name in force: /install would
    // fail. The service's own display name is no warning.
    Settings("", "VEN_7E57");
    sim::Scm().services["tolvane_qm5520"].displayName = "Verdin Service";
    Gather();
    EXPECT_EQ("BTHWID:empty-pattern-matches-several ", Warnings());
    sim::Scm().services["tolvane_qm5520"].displayName = "Verdin Radio";
    sim::SimService other;
    other.name = "Tolvane_QM5530";
    other.displayName = "VERDIN SERVICE";
    sim::Scm().services["tolvane_qm5530"] = other;
    Gather();
    EXPECT_STREQ("Tolvane_QM5530", facts->service.displayNameOwner);
    EXPECT_EQ("-:display-name-in-use BTHWID:empty-pattern-matches-several ", Warnings());
    EXPECT_TRUE(Has(Report(), "  Display name        taken by Tolvane_QM5530\n"));
    EXPECT_TRUE(Has(Report(true), "\"displayNameOwner\": \"Tolvane_QM5530\""));
    sim::Scm().services.erase("tolvane_qm5530");
    other.name = "verdin service";  // the manager refuses a display name that is a key name too
    other.displayName = "Other";
    sim::Scm().services["verdin service"] = other;
    Gather();
    EXPECT_STREQ("Verdin Service", facts->service.displayNameOwner);
    sim::Scm().services.erase("verdin service");
    // One character is a display name set, as much as a long one; none is none.
    other.name = "V";
    sim::Scm().services["v"] = other;
    Settings("", "VEN_7E57", "[Product]\nServiceDisplayName=V\n");
    Gather();
    EXPECT_STREQ("V", facts->service.displayNameOwner);
    Settings("", "VEN_7E57", "[Product]\nServiceDisplayName=\n");
    Gather();
    EXPECT_EQ(0, facts->service.displayNameTaken);
    sim::Scm().services.erase("v");
    Settings("", "VEN_7E57");
    // A key name longer than the answer's room is taken, not free.
    other.name = std::string(kServiceKeyNameCapacity, 'K');
    other.displayName = "Verdin Service";
    sim::Scm().services[sim::Lower(other.name)] = other;
    Gather();
    EXPECT_EQ(1, facts->service.displayNameTaken);
    EXPECT_STREQ("", facts->service.displayNameOwner);
    EXPECT_EQ("-:display-name-in-use BTHWID:empty-pattern-matches-several ", Warnings());
    EXPECT_TRUE(Has(Report(), "taken by a service whose name is too long to read\n"));
    sim::Scm().services.erase(sim::Lower(other.name));

    // A standard user refused the query is told so, not "not registered".
    sim::Scm().admin = false;
    sim::Scm().services["tolvane_qm5520"].usersDenied = true;
    Gather();
    EXPECT_EQ(0, facts->service.registered);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), facts->service.openError);
    EXPECT_EQ("-:service-access-denied BTHWID:empty-pattern-matches-several ", Warnings());
    EXPECT_TRUE(Has(Report(), "  Registered          unknown: access denied to this user (error 5)\n"));
    std::string json = Report(true);
    EXPECT_TRUE(Has(json, "\"registered\": false,")) << json;
    EXPECT_TRUE(Has(json, "\"openError\": 5,")) << json;
    sim::Scm().managerUsersDenied = true;
    Gather();
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), facts->service.managerError);
    EXPECT_EQ("-:service-access-denied BTHWID:empty-pattern-matches-several ", Warnings());
    sim::Scm().admin = true;
    sim::Scm().services.erase("tolvane_qm5520");
    Gather();
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), facts->service.openError);
    EXPECT_TRUE(Has(Report(), "  Registered          no\n"));
    EXPECT_TRUE(Has(Report(true), "\"registered\": false,"));
}

TEST_F(Check, EntryPrintsTheUsageOrOneReportAndReturnsItsCode) {
    char prog[] = "tolvane-check.exe";
    char unknown[] = "/install";
    char help[] = "/?";
    char json[] = "/JSON";
    char* withUnknown[] = {prog, unknown};
    EXPECT_EQ(kCheckUnknownOption, CheckEntry(2, withUnknown));
    EXPECT_EQ("", Sim().stdoutText) << "standard output stays clean for a script";
    EXPECT_EQ(0u, Sim().stderrText.find("tolvane-check: unknown option /install\n\nUsage: "));
    EXPECT_NE(std::string::npos, Sim().stderrText.find("\n  6  unknown option"));
    EXPECT_NE(std::string::npos,
              Sim().stderrText.find("\n  7  the settings file, the adapter's device path or the "
                                    "service is refused to\n     this user (run elevated)\n"));
    EXPECT_NE(std::string::npos, Sim().stderrText.find(
                                     "\n  8  the driver refused the last request; it is sent "
                                     "again by itself or at the\n     next device event\n"));
    // Asked for /json, a script gets one object whatever else it gave; /? gives way.
    char* unknownThenJson[] = {prog, unknown, json};
    Sim().stderrText.clear();
    EXPECT_EQ(kCheckUnknownOption, CheckEntry(3, unknownThenJson));
    EXPECT_EQ(0u, Sim().stdoutText.find("{\n  \"schemaVersion\": 2,"));
    EXPECT_TRUE(Has(Sim().stdoutText, ",\n  \"unknownOption\": \"/install\"\n}\n"));
    EXPECT_EQ("", Sim().stderrText);
    char* helpAndJson[] = {prog, help, json};
    Sim().stdoutText.clear();
    EXPECT_EQ(kCheckNoAdapterMatch, CheckEntry(3, helpAndJson));
    EXPECT_TRUE(Has(Sim().stdoutText, "\"result\": \"no-adapter-match\","));
    sim::Scm().calls.clear();
    char* withHelp[] = {prog, help};
    Sim().stdoutText.clear();
    EXPECT_EQ(0, CheckEntry(2, withHelp));
    EXPECT_EQ(0u, Sim().stdoutText.find("Usage: tolvane-check"));
    EXPECT_TRUE(sim::Scm().calls.empty()) << "the usage looks at nothing";

    // The longest values the settings allow, a long hardware ID and a
    // settings path at the limit: no line passes 79 columns but one that
    // holds a single identifier longer than that, and no identifier a user
    // copies is broken.
    const Longest longest = LongestValues();
    const std::string& folder = longest.folder;
    const std::string& btPattern = longest.btPattern;
    const std::string& wifiPattern = longest.wifiPattern;
    const std::string& model = longest.model;
    const std::string& display = longest.display;
    const std::string& btId = longest.btId;
    const std::string& wifiId = longest.wifiId;
    const sim::SimService& s = sim::Scm().services[sim::Lower("Tolvane_" + model)];
    int code = -1;
    const std::string text = Report(false, &code);
    EXPECT_EQ(kCheckWouldTell, code);
    Gather();
    ASSERT_EQ(259u, (folder + "tolvane.ini").size());
    ASSERT_EQ(254u, btId.size()) << "the longest whose list fits the property buffer";
    EXPECT_EQ(63u, btPattern.size());
    EXPECT_EQ(63u, wifiPattern.size());
    EXPECT_EQ(127u, display.size());
    const std::vector<std::string> ids = {folder + "tolvane.ini", s.imagePath, s.name,
                                          folder + "tolvane.exe", folder.substr(0, 247),
                                          btPattern, "\"" + btPattern + "\"", btId,
                                          wifiPattern, "\"" + wifiPattern + "\"", wifiId,
                                          PathOf(kGuid), facts->net.nameKey};
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() <= 79) continue;
        const std::string alone = line.substr(line.find_first_not_of(' '));
        EXPECT_TRUE(alone.size() > 79 && std::find(ids.begin(), ids.end(), alone) != ids.end())
            << "too wide: " << line;
    }
    for (const std::string& id : ids) EXPECT_TRUE(Has(text, id)) << "broken: " << id;
    EXPECT_TRUE(Has(text, "\n  Service name\n    Tolvane_" + model + "\n"));
    EXPECT_TRUE(Has(text, "\nNet class, WiFiHWID\n  \"" + wifiPattern + "\"\n"));
    EXPECT_TRUE(Has(text, "\n  Suggested pattern   VID_0B7C&PID_7B01\n"));
    EXPECT_TRUE(Has(text, "Radio!!\n")) << "the display name ends whole";
    EXPECT_FALSE(Has(text, " \n")) << "no padding is left before a moved identifier";

    char* asJson[] = {prog, json};
    Sim().stdoutText.clear();
    EXPECT_EQ(kCheckWouldTell, CheckEntry(2, asJson));
    EXPECT_EQ(0u, Sim().stdoutText.find("{\n  \"schemaVersion\": 2,\n  \"checkVersion\": "
                                        "\"1.0.0.0\",\n  \"exitCode\": 0,\n  \"result\": "
                                        "\"would-tell\","));
    EXPECT_NE(std::string::npos,
              Sim().stdoutText.find("\"suggestedPattern\": \"VEN_7E57&DEV_7A37\""));
}

// The service's own writer fills the status key; the check reads it back,
// judges a refusal that still waits (exit 8, after the other codes) and
// only shows one that a later request made good.
TEST_F(Check, TheLastRequestIsReadFromTheStatusKeyAndJudged) {
    Settings("VID_0B7C", "VEN_7E57");
    const DEVINST bt = sim::AddBluetoothDevice(kBtId, "0000", true);
    AddAdapter();
    Register("\"C:\\Program Files\\Tolvane\\tolvane.exe\"");
    // A zone 90 minutes ahead, an hour more from April to October.
    TIME_ZONE_INFORMATION& zone = Sim().timeZone;
    zone.Bias = -90;
    zone.DaylightBias = -60;
    zone.StandardDate = {0, 10, 0, 5, 3, 0, 0, 0};
    zone.DaylightDate = {0, 4, 0, 1, 2, 0, 0, 0};
    ResetExchangeCounts();
    BeginStatus("Tolvane_QM5520");
    EXPECT_EQ(kCheckWouldTell, Gather());
    EXPECT_TRUE(Has(Report(), "\nLast request\n  Status              none kept: nothing was sent "
                              "since the service last\n                      started or Windows "
                              "last restarted\n\nWarnings")) << Report();
    EXPECT_TRUE(Has(Report(true), "\"lastRequestKept\": \"none\",\n  \"lastRequest\": null"));

    const std::string path = PathOf(kGuid);
    RecordExchange(1, path.c_str(), {kDriverAccepted, 0}, 0, 0);
    // Its retry in 2.5 s: announced at the second after it.
    Sim().utcNow.wMilliseconds = 500;
    RecordExchange(1, path.c_str(), {kDriverTimedOut, ERROR_TIMEOUT}, 1, 2500);
    sim::Scm().admin = false;  // what the service wrote, a standard user reads
    int code = -1;
    std::string text = Report(false, &code);
    EXPECT_EQ(kCheckDriverRefused, code);
    EXPECT_TRUE(Has(text, "\nLast request\n"
                          "  Sent                1 (Bluetooth on)\n"
                          "  Adapter             " + path + "\n"
                          "  At                  2026-12-08 09:06:08 local time\n"
                          "  Driver              timed out: error 1460 (ERROR_TIMEOUT)\n"
                          "  Driver holds        1 (Bluetooth on)\n"
                          "  Requests            2 sent, 1 refused since the service started\n"
                          "  Retry               waiting: sent again at 2026-12-08 09:06:11 local "
                          "time\n")) << text;
    EXPECT_TRUE(Has(text, "Result 8: the driver refused the last request; it is sent again by "
                          "itself or at\n  the next device event\n")) << text;
    std::string json = Report(true);
    EXPECT_TRUE(Has(json, "\"result\": \"driver-refused\"") &&
                Has(json, "\"lastRequest\": {\n    \"state\": 1,\n    \"adapter\": \"\\\\\\\\.\\\\" +
                          std::string(kGuid) + "\",\n    \"timeUtc\": \"2026-12-08 07:36:08\",\n"
                          "    \"timeLocal\": \"2026-12-08 09:06:08\",\n    \"accepted\": false,\n"
                          "    \"failedAt\": \"timed-out\",\n    \"error\": 1460,\n"
                          "    \"errorName\": \"ERROR_TIMEOUT\",\n    \"acceptedState\": 1,\n"
                          "    \"sent\": 2,\n    \"refused\": 1,\n    \"retryWaiting\": true,\n"
                          "    \"retry\": \"waiting\",\n"
                          "    \"retryUtc\": \"2026-12-08 07:36:11\",\n"
                          "    \"retryLocal\": \"2026-12-08 09:06:11\",\n"
                          "    \"fromLastRun\": false\n  }")) << json;
    sim::Scm().admin = true;
    Sim().devices.clear();
    EXPECT_EQ(kCheckPathDoesNotOpen, Gather()) << "the codes that exist come first";
    Sim().AddDevice(path);
    sim::Scm().services["tolvane_qm5520"].state = SERVICE_STOPPED;
    EXPECT_EQ(kCheckServiceNotRunning, Gather()) << "stopped, it sends nothing again";
    sim::Scm().services["tolvane_qm5520"].state = SERVICE_RUNNING;

    // Bluetooth back in the state the driver holds: nothing waits.
    sim::SetStarted(bt, false);
    EXPECT_EQ(kCheckWouldTell, Gather());
    EXPECT_TRUE(
        Has(Report(), "  Retry               none now: Bluetooth is no longer in the refused state\n"));
    EXPECT_TRUE(Has(Report(true), "\"retryWaiting\": false,\n    \"retry\": \"none-now\","));
    sim::SetStarted(bt, true);

    // Made good by the next request: shown, not judged; the service stopped.
    RecordExchange(1, path.c_str(), {kDriverAccepted, 0}, 0, 0);
    Register("\"C:\\Program Files\\Tolvane\\tolvane.exe\"", SERVICE_STOPPED);
    text = Report(false, &code);
    EXPECT_EQ(kCheckServiceNotRunning, code);
    EXPECT_TRUE(Has(text, "\nLast request\n  Status              from the service's last run since "
                          "Windows last restarted\n  Sent ")) << text;
    EXPECT_TRUE(Has(text, "  Driver              accepted\n"
                          "  Driver holds        1 (Bluetooth on)\n"
                          "  Requests            3 sent, 1 refused since the service started\n"
                          "  Retry               none waiting\n")) << text;
    EXPECT_TRUE(Has(Report(true), "\"retry\": \"none-waiting\","));

    // Aimed elsewhere, refused at the open with an error that has no name
    // here, nothing accepted yet, and a time that is not one.
    ResetExchangeCounts();
    BeginStatus("Tolvane_QM5520");
    RecordExchange(0, "\\\\.\\{OTHER}", {kDriverOpenFailed, 1234}, 1, 2000);
    const std::string key = "SYSTEM\\CurrentControlSet\\Services\\Tolvane_QM5520\\Status";
    Sim().SetString(key, "TimeUtc", "2026-12-08 7:36:08", sim::RegView::View32);
    EXPECT_EQ(kCheckServiceNotRunning, Gather()) << "Bluetooth is on: the refused 0 is not waiting";
    EXPECT_EQ("WiFiHWID:last-request-elsewhere ", Warnings());
    text = Report();
    EXPECT_TRUE(Has(text, "  At                  2026-12-08 7:36:08 UTC\n"
                          "  Driver              refused at the open: error 1234\n"
                          "  Driver holds        nothing accepted since the service started\n"))
        << text;
    json = Report(true);
    EXPECT_TRUE(Has(json, "\"timeLocal\": null,") &&
                Has(json, "\"errorName\": null,\n    \"acceptedState\": null,")) << json;

    RecordExchange(0, "", {kDriverNoPath, 0}, 1, 0);
    EXPECT_TRUE(Has(Report(), "  Adapter             (none known)\n")) << Report();
    EXPECT_TRUE(Has(Report(), "  Driver              not asked: no adapter path\n"));
    sim::SetStarted(bt, false);
    EXPECT_TRUE(Has(Report(), "  Retry               waiting: the state is sent again at the next "
                              "device event\n")) << Report();
    EXPECT_TRUE(Has(Report(true), "\"retryUtc\": null,\n    \"retryLocal\": null,"));
    sim::SetStarted(bt, true);

    // In summer the zone's daylight hour is added, whatever the season now.
    Sim().SetString(key, "TimeUtc", "2026-07-01 22:00:00", sim::RegView::View32);
    EXPECT_TRUE(Has(Report(), "  At                  2026-07-02 00:30:00 local time\n"));
    // A time of the right shape that Windows cannot convert stays in UTC, and says so.
    Sim().SetString(key, "TimeUtc", "2026-13-01 22:00:00", sim::RegView::View32);
    EXPECT_TRUE(Has(Report(), "  At                  2026-13-01 22:00:00 UTC\n"));
    EXPECT_TRUE(Has(Report(true), "\"timeUtc\": \"2026-13-01 22:00:00\",\n    \"timeLocal\": null,"));

    // A value of the wrong type, or none: incomplete, not half shown, and
    // never read as nothing sent.
    Sim().SetString(key, "Sent", "3", sim::RegView::View32);
    EXPECT_EQ(kCheckServiceNotRunning, Gather());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), facts->lastRequest.error);
    EXPECT_TRUE(Has(Report(), "\nLast request\n  Status              incomplete: Sent is missing or "
                              "of another type (error 13)\n"));
    EXPECT_TRUE(Has(Report(true), "\"lastRequestKept\": \"incomplete\",\n  \"lastRequest\": null"));
    Sim().registry[static_cast<int>(sim::RegView::View32)][sim::Lower(key)].erase("timeutc");
    Sim().SetValue(sim::RegView::View32, key, "Sent", REG_DWORD, std::string(4, '\0'));
    Gather();
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), facts->lastRequest.error);
    EXPECT_STREQ("TimeUtc", facts->lastRequest.incompleteAt);

    // Read whole or read again: a record finished while the first reading
    // went on, then one whose writing never ends, then a key a start removes.
    ResetExchangeCounts();
    BeginStatus("Tolvane_QM5520");
    RecordExchange(1, path.c_str(), {kDriverAccepted, 0}, 0, 0);
    int sequenceReads = 0;
    Sim().onRegQuery = [&](const std::string& name) {
        if (name == kStatusSequence && ++sequenceReads == 2)
            RecordExchange(0, path.c_str(), {kDriverAccepted, 0}, 0, 0);
    };
    Gather();
    EXPECT_EQ(4, sequenceReads);
    EXPECT_EQ(1, facts->lastRequest.read);
    EXPECT_EQ(2u, facts->lastRequest.numbers[kStatusSent]);
    Sim().onRegQuery = [&](const std::string& name) { sequenceReads += name == kStatusSequence; };
    Sim().SetValue(sim::RegView::View32, key, kStatusSequence, REG_DWORD, std::string("\5\0\0\0", 4));
    sequenceReads = 0;
    sim::Scm().services["tolvane_qm5520"].state = SERVICE_STOP_PENDING;
    sim::Scm().services["tolvane_qm5520"].stopPendingLeft = 1000;  // still stopping throughout
    EXPECT_EQ(kCheckServiceNotRunning, Gather());
    EXPECT_EQ(2 * kStatusReadTries, sequenceReads);
    EXPECT_TRUE(Has(Report(), "\nLast request\n  Status              being written: the service was "
                              "writing it at each of 8\n                      readings; run the "
                              "check again\n\n")) << Report();
    EXPECT_TRUE(Has(Report(true), "\"lastRequestKept\": \"being-written\",\n  \"lastRequest\": null"));
    // Stopped, the service will never finish it.
    sim::Scm().services["tolvane_qm5520"].state = SERVICE_STOPPED;
    Gather();
    EXPECT_TRUE(Has(Report(), "\nLast request\n  Status              incomplete: the service "
                              "stopped while writing it\n\n")) << Report();
    EXPECT_TRUE(Has(Report(true), "\"lastRequestKept\": \"incomplete\",\n  \"lastRequest\": null"));
    Sim().onRegQuery = [&](const std::string&) { Sim().DeleteKey(key); };
    Gather();
    EXPECT_EQ(0, facts->lastRequest.read);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), facts->lastRequest.error);
    EXPECT_EQ(nullptr, facts->lastRequest.incompleteAt) << "none kept, after a reading cut short";
    Sim().onRegQuery = nullptr;
}

int ParseBlock(const std::string& block, DWORD size, WORD* parts) {
    return ParseVersionResource(reinterpret_cast<const BYTE*>(block.data()), size, parts);
}

// The version block's fixed part, and each way a read fails; every exe
// mapped is released.
TEST_F(Check, AnExesVersionIsReadFromItsResourceOrWhyNotKept) {
    const std::string block = sim::VersionBlock(1, 2, 3, 65535);
    WORD parts[kVersionPartCount] = {};
    ASSERT_EQ(92u, block.size());
    EXPECT_EQ(0, ParseBlock(block, 91, parts)) << "one byte short of the fixed part";
    EXPECT_EQ(1, ParseBlock(block, 92, parts));
    char text[kVersionTextCapacity];
    FormatVersion(parts, text);
    EXPECT_STREQ("1.2.3.65535", text);
    for (size_t at : {0u, 2u, 6u, 34u, 40u, 43u}) {  // lengths, key, its end, signature
        std::string bad = block;
        bad[at] = static_cast<char>(at == 0 ? 93 : bad[at] ^ 0x20);
        EXPECT_EQ(0, ParseBlock(bad, 92, parts)) << at;
    }
    const WORD widest[kVersionPartCount] = {65535, 65535, 65535, 65535};
    FormatVersion(widest, text);
    EXPECT_EQ(kVersionTextCapacity - 1, std::strlen(text));

    FileVersionFacts f;
    Sim().images["c:\\x\\none.exe"] = "";
    const std::pair<const char*, DWORD> kFailures[] = {
        {"C:\\x\\none.exe", ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"C:\\x\\gone.exe", ERROR_FILE_NOT_FOUND},
        {"x\\none.exe", ERROR_BAD_PATHNAME},
        {"C:none.exe", ERROR_BAD_PATHNAME}};
    for (const auto& failure : kFailures) {
        ReadFileVersion(failure.first, &f);
        EXPECT_EQ(0, f.read) << failure.first;
        EXPECT_EQ(failure.second, f.error) << failure.first;
    }
    Sim().images["\\\\server\\share\\old.exe"] = sim::VersionBlock(0, 9, 0, 0);
    ReadFileVersion("\\\\server\\share\\old.exe", &f);
    EXPECT_EQ(1, f.read);
    EXPECT_EQ(9, f.parts[1]);
    // Under WOW64 a service's exe in System32 is the native one, not the
    // SysWOW64 file of that name; the redirector is on again after.
    Sim().SetHostCode(13);
    Sim().images["c:\\windows\\system32\\tolvane.exe"] = sim::VersionBlock(2, 0, 0, 0);
    Sim().images["c:\\windows\\syswow64\\tolvane.exe"] = sim::VersionBlock(0, 1, 0, 0);
    ReadFileVersion("C:\\Windows\\System32\\tolvane.exe", &f);
    EXPECT_EQ(1, f.read);
    EXPECT_EQ(2, f.parts[0]);
    EXPECT_FALSE(Sim().fsRedirectionOff);
    EXPECT_EQ(0, Sim().OpenHandles());
}

// Windows on ARM runs the exes as x86 under emulation: the processor is
// named as Windows names it, and the host code decides as on AMD64.
TEST_F(Check, Arm64IsNamedAndDecidesAsAmd64) {
    Sim().SetHostCode(13);
    Gather();
    const HostFacts amd64 = facts->host;
    Sim().hasIsWow64Process2 = true;
    Sim().SetArchitecture("ARM64");
    Gather();
    EXPECT_EQ(12, facts->host.code);
    EXPECT_EQ(amd64.requestCode, facts->host.requestCode);
    EXPECT_EQ(amd64.baseCode, facts->host.baseCode);
    EXPECT_EQ(amd64.heapBlock, facts->host.heapBlock);
    EXPECT_EQ(RegistryAccessMask(13, true), RegistryAccessMask(12, facts->host.wow64));
    EXPECT_TRUE(Has(Report(), "\n  Processor           ARM64, as IsWow64Process2 reports it\n"));
    // Before Windows 10 version 1709, the older call.
    Sim().hasIsWow64Process2 = false;
    Sim().SetHostCode(13);
    EXPECT_TRUE(Has(Report(true), "\"nativeMachine\": \"AMD64\",\n    \"nativeMachineFrom\": "
                                  "\"GetNativeSystemInfo\","));
    Sim().SetHostCode(12);
    EXPECT_TRUE(Has(Report(), "\n  Processor           x86, as GetNativeSystemInfo reports it\n"));
}

TEST_F(Check, AFailedVersionQueryIsShownAsSuchWithHostCodeZero) {
    Sim().versionFails = true;
    ForgetHostCode();
    Gather();
    EXPECT_EQ(0, facts->host.versionRead);
    EXPECT_EQ(0, facts->host.code);
    const std::string text = Report();
    EXPECT_TRUE(Has(text, "\n  Windows version     unreadable\n"
                          "  Host code           0, unsupported (older than Windows 95 and NT "
                          "4.0)\n")) << text;
    const std::string json = Report(true);
    EXPECT_TRUE(Has(json, "\"versionRead\": false,")) << json;
    EXPECT_TRUE(Has(json, "\"hostCode\": 0,")) << json;
}

// Each code-to-word table names its last code, and gives its own word for
// the next one, which it lacks.
TEST(CheckWords, ACodeATableLacksGetsThatTablesFallback) {
    EXPECT_STREQ("Windows Server 2008", HostCodeName(14));
    EXPECT_STREQ("unknown", HostCodeName(15));
    std::set<std::string> hostNames;
    for (int code = 0; code <= 14; ++code) hostNames.insert(HostCodeName(code));
    EXPECT_EQ(15u, hostNames.size() - hostNames.count("unknown")) << "each code its own name";
    EXPECT_STREQ("paused", ServiceStateName(SERVICE_PAUSED));
    EXPECT_STREQ("unknown", ServiceStateName(SERVICE_PAUSED + 1));
    EXPECT_STREQ("run-command", RecoveryActionName(SC_ACTION_RUN_COMMAND));
    EXPECT_STREQ("other", RecoveryActionName(SC_ACTION_RUN_COMMAND + 1));
    EXPECT_STREQ("service-not-running", ExitCodeName(kCheckExitCodeCount - 1));
    EXPECT_STREQ("unknown", ExitCodeText(kCheckExitCodeCount));
    EXPECT_STREQ("ERROR_INVALID_USER_BUFFER", WindowsErrorName(ERROR_INVALID_USER_BUFFER));
    EXPECT_EQ(nullptr, WindowsErrorName(ERROR_SUCCESS));
}

// The number a warning's text quotes.
unsigned long QuotedLimit(int kind) {
    CheckWarning warning = {};
    warning.kind = kind;
    char text[kWarningTextCapacity];
    WarningText(warning, text);
    const char* digits = std::strpbrk(text, "0123456789");
    return digits != nullptr ? std::strtoul(digits, nullptr, 10) : 0;
}

TEST_F(Check, TheLimitsWarningsQuoteAreTheOnesTheSettingsEnforce) {
    const unsigned long pattern = QuotedLimit(kWarnPatternRefused);
    const unsigned long model = QuotedLimit(kWarnServiceNameRefused);
    const unsigned long path = QuotedLimit(kWarnSettingsPathTooLong);
    EXPECT_EQ(63u, pattern);
    EXPECT_EQ(55u, model);
    EXPECT_EQ(259u, path);
    for (unsigned long over : {0ul, 1ul}) {
        SCOPED_TRACE(over ? "one over" : "at the limit");
        Settings(std::string(pattern + over, 'B'), "VEN_7E57",
                 "[Product]\nModel=" + std::string(model + over, 'M') + "\n");
        Gather();
        EXPECT_EQ(over ? 0 : 1, facts->bluetooth.patternRead);
        EXPECT_EQ(over ? 0 : 1, facts->settings.nameDerived);

        // tolvane.ini's path of that many characters.
        const std::string folder = "C:\\" + std::string(path + over - 15, 'f') + "\\";
        Sim().exePath = folder + "tolvane-check.exe";
        Settings("", "VEN_7E57");
        Gather();
        ASSERT_EQ(path + over, std::strlen(facts->settings.file));
        EXPECT_EQ(over ? kSettingsFileOutOfReach : kSettingsFileNamed, facts->settings.located);
        Sim().exePath = std::string(kFolder) + "tolvane-check.exe";
    }
}

BOOL WINAPI RefusedQuery2(SC_HANDLE, DWORD, LPBYTE, DWORD, LPDWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(Check, RecoveryIsShownAsTheManagerReportsIt) {
    // What /install registers, read by a standard user, whom the manager
    // gives the query rights only.
    Register("\"C:\\Program Files\\Tolvane\\tolvane.exe\"");
    sim::SimService& s = sim::Scm().services["tolvane_qm5520"];
    s.failureResetSeconds = kFailureResetSeconds;
    s.failureActions.assign(kFailureActions, kFailureActions + kFailureActionCount);
    sim::Scm().admin = false;
    std::string text = Report();
    EXPECT_NE(std::string::npos,
              text.find("\n  Recovery            as installed\n"))
        << text;
    const std::string json = Report(true);
    EXPECT_NE(std::string::npos,
              json.find("\"recovery\": {\n      \"asInstalled\": true,\n"
                        "      \"resetSeconds\": 86400,\n      \"actionCount\": 3,\n"
                        "      \"actions\": [\n        {\n          \"type\": "
                        "\"restart\",\n          \"delayMs\": 5000\n        },"))
        << json;
    EXPECT_NE(std::string::npos,
              json.find("\"type\": \"none\",\n          \"delayMs\": 0\n        }\n      ]"));

    // One step away from what /install sets is listed raw: the reset
    // period, then a delay, then many actions, lines within the console.
    s.failureResetSeconds = kFailureResetSeconds + 1;
    EXPECT_NE(std::string::npos,
              (text = Report()).find("  Recovery            restart 5000 ms, restart 5000 ms, none 0 "
                            "ms; reset after\n                      86401 s\n")) << text;
    EXPECT_NE(std::string::npos, Report(true).find("\"asInstalled\": false,"));
    s.failureResetSeconds = kFailureResetSeconds;
    s.failureActions[1].Delay = kRestartDelayMs + 1;
    EXPECT_NE(std::string::npos, Report().find(" restart 5001 ms,"));
    s.failureActions.assign(10, SC_ACTION{SC_ACTION_RESTART, 1500});
    s.failureActions[7].Type = SC_ACTION_REBOOT;
    s.failureResetSeconds = INFINITE;
    text = Report();
    EXPECT_NE(std::string::npos, text.find("reboot 1500 ms, ...; reset never\n")) << text;
    text = Report(true);
    size_t listed = 0;
    for (size_t at = 0; (at = text.find("\"delayMs\": 1500", at)) != std::string::npos; ++at)
        ++listed;
    EXPECT_EQ(8u, listed) << text;
    EXPECT_TRUE(Has(text, "\"actionCount\": 10,")) << text;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 79u) << line;
        EXPECT_NE(' ', line.empty() ? '-' : line.back()) << line;
    }

    // None registered; a query refused leaves the rest of the service read.
    s.failureActions.clear();
    s.failureResetSeconds = 0;
    EXPECT_NE(std::string::npos, Report().find("  Recovery            none registered\n"));
    EXPECT_NE(std::string::npos, Report(true).find("\"actions\": []"));
    Win32Api api = sim::Api();
    api.QueryServiceConfig2A = RefusedQuery2;
    SetWin32Api(&api);
    GatherFacts(facts);
    EXPECT_EQ(0, facts->service.recoveryRead);
    EXPECT_EQ(1, facts->service.configRead);
    EXPECT_NE(std::string::npos,
              Report().find("  Recovery            unknown: access denied to this user (error 5)\n"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), facts->service.recoveryError);
    EXPECT_NE(std::string::npos, Report(true).find("\"recovery\": null,\n"));
    SetWin32Api(&sim::Api());
}

// The privileges the service keeps: SeChangeNotifyPrivilege alone, else a
// warning; names kept whole while they fit, the rest counted.
TEST_F(Check, RequiredPrivilegesAreShownAndWarnedOfUnlessSeChangeNotifyAlone) {
    Register("\"C:\\Program Files\\Tolvane\\tolvane.exe\"");
    std::vector<std::string>& kept = sim::Scm().services["tolvane_qm5520"].requiredPrivileges;
    EXPECT_TRUE(Has(Report(), "\n  Privileges          SeChangeNotifyPrivilege\n"));
    EXPECT_TRUE(Has(Report(true), "\"requiredPrivileges\": [\n      \"SeChangeNotifyPrivilege\"\n"
                                  "    ],\n    \"requiredPrivilegeCount\": 1,"));
    for (const auto& list : std::vector<std::vector<std::string>>{
             {"SeChangeNotifyPrivilege", "SeDebugPrivilege"}, {"SeDebugPrivilege"}, {}}) {
        kept = list;
        Gather();
        EXPECT_EQ("-:privileges-not-limited ", Warnings()) << list.size();
    }
    kept = {"SECHANGENOTIFYPRIVILEGE"};
    Gather();
    EXPECT_EQ("", Warnings()) << "Windows ignores the case of privilege names";
    kept = {};
    EXPECT_TRUE(Has(Report(), "  Privileges          all of LocalSystem's: none asked for\n"));
    EXPECT_TRUE(Has(Report(true), "\"requiredPrivileges\": [],"));
    for (int i = 10; i < 50; ++i) kept.push_back("SeSomePrivilege" + std::to_string(i * 100));
    EXPECT_TRUE(Has(Report(), "SeSomePrivilege3400, and 15 more\n")) << "25 of 20 bytes fit 512";
}

// Who may change what the service runs and reads: the registered exe's
// folder here, named with the account, and a file with no list at all.
TEST_F(Check, TheHomeIsWarnedOfWhenAnotherAccountMayChangeIt) {
    Settings("", "");
    Register("C:\\Tools\\tolvane.exe");
    Sim().SetAccess("C:\\Tools\\tolvane.exe", kOrdinaryFolder);
    Sim().SetAccess("C:\\Tools", "D:(A;;FA;;;SY)(A;OICI;0x1301bf;;;BU)");
    Sim().SetAccess("C:\\Tools\\tolvane.ini", "");
    Gather();
    EXPECT_EQ("-:service-elsewhere C:\\Tools:home-writable-by-users "
              "C:\\Tools\\tolvane.ini:home-writable-by-users ", Warnings());
    const std::string text = Report();
    EXPECT_TRUE(Has(text, "\nHome (the service runs as LocalSystem)\n"
                          "  Exe                 C:\\Tools\\tolvane.exe\n"
                          "  Changed by          SYSTEM, Administrators, TrustedInstaller only\n"
                          "  Folder              C:\\Tools\n"
                          "  Changed by          BUILTIN\\Users as well\n"
                          "  Settings file       C:\\Tools\\tolvane.ini\n"
                          "  Changed by          anyone: it has no access list\n")) << text;
    EXPECT_TRUE(Has(text, "  ! C:\\Tools may be changed by BUILTIN\\Users, and the service runs "
                          "as\n    LocalSystem: let only administrators change it.\n"));
    EXPECT_TRUE(Has(Report(true), "\"folder\": {\n      \"path\": \"C:\\\\Tools\",\n      "
                                  "\"access\": \"others-may-change\",\n      "
                                  "\"account\": \"BUILTIN\\\\Users\","));

    // Its owner may rewrite any list, so a folder a user made stays his
    // however tight its list. Whoever may delete what a folder above
    // holds may swap the home for another.
    Sim().SetAccess("C:\\Tools", "O:BUD:(A;;FA;;;SY)(A;;FA;;;BA)");
    Sim().SetAccess("C:\\Tools\\tolvane.ini", kOrdinaryFile);
    Sim().SetAccess("C:\\", "O:SYD:(A;;FA;;;SY)(A;;0x4;;;AU)(A;;0x40;;;BU)");
    Gather();
    EXPECT_EQ("-:service-elsewhere C:\\Tools:home-writable-by-users "
              "C:\\:home-writable-by-users ", Warnings());
    const std::string owned = Report();
    EXPECT_TRUE(Has(owned, "  Folder              C:\\Tools\n"
                           "  Changed by          BUILTIN\\Users as well: its owner\n")) << owned;
    EXPECT_TRUE(Has(owned, "  Folder above        C:\\\n"
                           "  Changed by          BUILTIN\\Users as well\n"));
    EXPECT_TRUE(Has(owned, "  ! C:\\Tools is owned by BUILTIN\\Users, who may change its access "
                           "list whatever\n    it says, and the service runs as LocalSystem:"));
    EXPECT_TRUE(Has(owned, "  ! C:\\ may be changed by BUILTIN\\Users; the service's folder under "
                           "it may then\n    be swapped for another, and the service runs as"));
    EXPECT_TRUE(Has(Report(true), "\"access\": \"owned-by-others\",\n      "
                                  "\"account\": \"BUILTIN\\\\Users\","));
    EXPECT_EQ(static_cast<DWORD>(FILE_DELETE_CHILD), facts->home.objects[kHomeParent].rights);
    Sim().SetAccess("C:\\", "O:SYD:(A;;FA;;;SY)(A;;0x1301bf;;;AU)");
    Gather();
    EXPECT_EQ(kAccessTrusted, facts->home.objects[kHomeParent].access)
        << "a drive's root is never renamed, and Modify deletes no child";
    EXPECT_EQ(kHomeParent + 1, facts->home.count);

    // A folder an administrator made on a drive's root takes the root's
    // Modify for signed-in users: one of them may rename it away, home and
    // all, however tight the home's own list.
    sim::Scm().services["tolvane_qm5520"].imagePath = "D:\\Tools\\Tolvane\\tolvane.exe";
    Sim().SetAccess("D:\\", kDriveRoot);
    Sim().SetAccess("D:\\Tools", "O:BAD:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;0x1200a9;;;BU)"
                                  "(A;OICIID;0x1301bf;;;AU)");
    Sim().SetAccess("D:\\Tools\\Tolvane", (std::string("O:BA") + kOrdinaryFolder).c_str());
    Sim().SetAccess("D:\\Tools\\Tolvane\\tolvane.exe", kOrdinaryFile);
    Sim().SetAccess("D:\\Tools\\Tolvane\\tolvane.ini", kOrdinaryFile);
    Gather();
    EXPECT_EQ("-:service-elsewhere -:event-source-elsewhere D:\\Tools:home-writable-by-users ",
              Warnings());
    EXPECT_EQ(static_cast<DWORD>(DELETE), facts->home.objects[kHomeParent].rights);
    const std::string inherited = Report();
    EXPECT_TRUE(Has(inherited, "  Folder above        D:\\Tools\n"
                               "  Changed by          NT AUTHORITY\\Authenticated Users as well\n"
                               "  Folder above        D:\\\n"
                               "  Changed by          SYSTEM, Administrators, TrustedInstaller "
                               "only\n\n")) << inherited;

    // Every folder up to the root, as deep as the room for them; the rest counted.
    for (int depth : {32, 33}) {
        std::string exe = "C:";
        for (int i = 1; i <= depth; ++i) exe += "\\d" + std::to_string(i);
        sim::Scm().services["tolvane_qm5520"].imagePath = exe + "\\tolvane.exe";
        Gather();
        EXPECT_EQ(kHomeCount, facts->home.count);
        EXPECT_EQ(static_cast<DWORD>(depth - 32), facts->home.aboveNotJudged);
        EXPECT_STREQ(depth == 32 ? "C:\\" : "C:\\d1", facts->home.objects[kHomeCount - 1].path);
    }
    EXPECT_TRUE(Has(Report(), "  Folders above       1 more, not judged\n"));
    // A share's root ends the walk as a drive's does, with or without "\\?\".
    for (const char* share : {"\\\\server\\share\\", "\\\\?\\unc\\server\\share\\"}) {
        sim::Scm().services["tolvane_qm5520"].imagePath = std::string(share) + "T\\S\\tolvane.exe";
        Gather();
        EXPECT_EQ(kHomeParent + 2, facts->home.count) << share;
        EXPECT_EQ(std::string(share) + "T", facts->home.objects[kHomeParent].path);
        EXPECT_STREQ(share, facts->home.objects[kHomeParent + 1].path);
    }
    sim::Scm().services["tolvane_qm5520"].imagePath = "C:\\Tools\\tolvane.exe";

    // A list of the largest size, with the owner read beside it.
    std::string large = "O:BAD:";
    for (int i = 0; i < 1820; ++i) large += "(A;;0x1200a9;;;S-1-5-21-1-2-3-" + std::to_string(i) + ")";
    Sim().SetAccess("C:\\Tools\\tolvane.exe", large.c_str());
    Gather();
    EXPECT_EQ(65564u, Sim().security["c:\\tools\\tolvane.exe"].size());
    EXPECT_EQ(kAccessTrusted, facts->home.objects[kHomeExe].access);

    // An account Windows cannot name goes by its SID; a list that cannot be
    // read warns of nothing. Unregistered, the exe beside the tool is read.
    Sim().SetAccess("C:\\Tools", "D:(A;;0x4;;;S-1-5-21-1-2-3-1001)");
    Sim().security.erase("c:\\tools\\tolvane.ini");
    Gather();
    EXPECT_STREQ("S-1-5-21-1-2-3-1001", facts->home.objects[kHomeFolder].account);
    EXPECT_EQ(static_cast<DWORD>(FILE_APPEND_DATA), facts->home.objects[kHomeFolder].rights);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), facts->home.objects[kHomeSettings].error);
    EXPECT_TRUE(Has(Report(), "  Changed by          unknown (error 2)\n"));
    sim::Scm().services.clear();
    Gather();
    EXPECT_STREQ("C:\\Program Files\\Tolvane", facts->home.objects[kHomeFolder].path);
    EXPECT_EQ(kAccessTrusted, facts->home.objects[kHomeSettings].access) << "an ordinary file";
}

std::vector<std::string> g_chunks;  // what each write to standard output carried

TEST_F(Check, AConsoleGetsTheReportAsUtf16AndARedirectionItsBytes) {
    Sim().exePath = "C:\\Caf\xE9\\tolvane-check.exe";
    Settings("", "");
    const std::string bytes = Report();
    EXPECT_TRUE(Has(bytes, "C:\\Caf\xE9\\tolvane.ini\n"));
    EXPECT_TRUE(Sim().consoleText.empty());

    Sim().stdoutConsole = true;
    EXPECT_EQ("", Report()) << "nothing reaches the byte stream";
    std::wstring want;
    for (unsigned char c : bytes) want += static_cast<wchar_t>(c);  // 1252 is Latin-1 here
    EXPECT_EQ(want, Sim().consoleText);

    // A double-byte character is never split where the buffer is written out.
    Sim().codePage = 932;
    Sim().consoleText.clear();
    Out out;
    OutStart(&out);
    OutText(&out, std::string(kOutCapacity - 2, 'a').c_str());
    OutText(&out, "\x82\xA0\x82\xA0");
    OutFlush(&out);
    EXPECT_EQ(std::wstring(kOutCapacity - 2, L'a') + L"\x3042\x3042", Sim().consoleText);

    // A UTF-8 code page marks no lead byte: a full buffer is written up to
    // its last line break, so no character is split.
    Sim().codePage = CP_UTF8;
    Sim().stdoutConsole = false;
    g_chunks.clear();
    Win32Api api = sim::Api();
    api.WriteStdout = [](const char* text) {
        g_chunks.push_back(text);
        return 0;
    };
    SetWin32Api(&api);
    OutStart(&out);
    OutText(&out, (std::string(kOutCapacity - 10, 'a') + "\n").c_str());
    for (int i = 0; i < 8; ++i) OutText(&out, "\xC3\xA9");
    OutFlush(&out);
    SetWin32Api(&sim::Api());
    ASSERT_EQ(2u, g_chunks.size());
    EXPECT_EQ(std::string(kOutCapacity - 10, 'a') + "\n", g_chunks[0]);
    EXPECT_EQ(8u * 2, g_chunks[1].size());
}

TEST_F(Check, MoreThanThirtyTwoDevicesAreCountedAndTheFirstThirtyTwoListed) {
    Settings("VID_0B7C", "VEN_7E57");
    for (int i = 0; i < 40; ++i) {
        sim::AddBluetoothDevice("USB\\VID_0B7C&PID_" + std::to_string(1000 + i), std::to_string(i),
                                true);
    }
    AddAdapter();
    Register("\"C:\\Program Files\\Tolvane\\tolvane.exe\"");
    EXPECT_EQ(kCheckWouldTell, Gather());
    EXPECT_EQ(40u, facts->bluetooth.present);
    EXPECT_EQ(40u, facts->bluetooth.matches);
    EXPECT_EQ(39, facts->bluetooth.standing) << "the last match stands though not listed";
    EXPECT_EQ(1, verdict.bluetooth.sendState);
    EXPECT_STREQ("USB\\VID_0B7C&PID_1031", facts->bluetooth.devices[31].hardwareId);
    EXPECT_STREQ("none: too many devices to compare", verdict.bluetooth.why);
    const std::string text = Report();
    EXPECT_TRUE(Has(text, "\n   32 yes    started  USB\\VID_0B7C&PID_1031\n  and 8 more, not listed\n"));
    EXPECT_TRUE(Has(text, "  Stands              #40, started"));
    EXPECT_TRUE(Has(text, "  Suggested pattern   none: too many devices to compare\n"));
    const std::string json = Report(true);
    EXPECT_TRUE(Has(json, "\"present\": 40,"));
    EXPECT_TRUE(Has(json, "\"hardwareId\": \"USB\\\\VID_0B7C&PID_1031\""));
    EXPECT_FALSE(Has(json, "PID_1032")) << "the first 32 only";
    EXPECT_TRUE(Has(json, "\"index\": 39,"));
}

// The suggestion, or "<none>" when there is none and the buffer was left empty.
std::string Suggest(const std::vector<const char*>& ids, DWORD index) {
    char out[kPatternCapacity];
    std::memset(out, 'X', sizeof out);
    if (SuggestPattern(ids.data(), static_cast<DWORD>(ids.size()), index,
                       sim::Api().IsDBCSLeadByte, out))
        return out;
    return out[0] == '\0' ? "<none>" : std::string("left behind: ") + out;
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
    // No enumerator: the fields start at the first character.
    EXPECT_EQ("VID_0B7C&PID_7B01", Suggest({"VID_0B7C&PID_7B01", "VID_0B7C&PID_7B02"}, 0));
    EXPECT_EQ("SPARE", Suggest({"SPARE", kBtId}, 0));
    // A device whose ID is not valid text matches nothing and hides nothing.
    EXPECT_EQ("VID_0B7C&PID_7B01", Suggest({nullptr, kBtId}, 1));
    EXPECT_EQ("<none>", Suggest({nullptr, kBtId}, 0));
    // A field the service would refuse is passed over.
    std::string longPart = "USB\\" + std::string(70, 'L') + "&PID_1";
    EXPECT_EQ("<none>", Suggest({longPart.c_str()}, 0));
    // A field as long as the pattern's room is refused; a byte shorter, given.
    const std::string atRoom = "USB\\" + std::string(kPatternCapacity, 'L');
    const std::string byteShorter = "USB\\" + std::string(kPatternCapacity - 1, 'L');
    EXPECT_EQ("<none> " + byteShorter.substr(4),
              Suggest({atRoom.c_str()}, 0) + " " + Suggest({byteShorter.c_str()}, 0));

    // Code page 932: 0x5C after a lead byte is a trail byte, not a separator.
    Sim().codePage = 932;
    const char dbcs[] = "USB\\VID_\x83\x5C" "A&PID_1&REV_2";
    EXPECT_EQ("VID_\x83\x5C" "A&PID_1", Suggest({dbcs}, 0));
    // At the end too, and a lead byte left last stands as a character.
    const char dbcsLast[] = "USB\\VID_1&PID_\x83\x5C";
    EXPECT_EQ("VID_1&PID_\x83\x5C", Suggest({dbcsLast, "USB\\VID_1&PID_2"}, 0));
    EXPECT_EQ("VID_1&PID_2\x83", Suggest({"USB\\VID_1&PID_2\x83", "USB\\VID_1&PID_2"}, 0));
}

// ---- The check tool's output, pinned ----
//
// For each machine state below, the plain report and the /json report (or,
// for an option, what the run printed) are compared byte for byte with
// tests/unit/expected/STATE.txt and STATE.json. A change of output is made
// on purpose: scripts/expected.sh rewrites the files from what the tool
// prints now (the test writes them where TOLVANE_WRITE_EXPECTED names a
// folder), and the change is read in git diff.

// A minimal JSON reader: the whole text must be one value, strings ASCII
// with JSON's escapes, numbers integers, no key twice in an object.
struct Json {
    char type = 0;  // o object, a array, s string, n number, b boolean, 0 null
    std::vector<std::pair<std::string, Json>> members;
    std::vector<Json> items;
};

struct JsonReader {
    const std::string& text;
    size_t at;

    void Space() {
        while (at < text.size() && text[at] != '\0' && std::strchr(" \t\r\n", text[at]) != nullptr)
            ++at;
    }
    bool Take(char c) {
        Space();
        if (at >= text.size() || text[at] != c) return false;
        ++at;
        return true;
    }
    bool Word(const char* word) {
        if (text.compare(at, std::strlen(word), word) != 0) return false;
        at += std::strlen(word);
        return true;
    }
    bool String(std::string* out) {
        if (!Take('"')) return false;
        while (at < text.size() && text[at] != '"') {
            const unsigned char c = static_cast<unsigned char>(text[at++]);
            if (c < 0x20 || c > 0x7F) return false;
            if (c != '\\') {
                *out += static_cast<char>(c);
                continue;
            }
            if (at >= text.size()) return false;
            const char e = text[at++];
            if (e == 'u') {
                if (at + 4 > text.size()) return false;
                for (int i = 0; i < 4; ++i)
                    if (!std::isxdigit(static_cast<unsigned char>(text[at + i]))) return false;
                *out += text.substr(at - 2, 6);
                at += 4;
            } else if (e != '\0' && std::strchr("\"\\/bfnrt", e) != nullptr) {
                *out += e;
            } else {
                return false;
            }
        }
        return Take('"');
    }
    bool Value(Json* v) {
        Space();
        if (at >= text.size()) return false;
        const char c = text[at];
        if (c == '{') {
            v->type = 'o';
            ++at;
            if (Take('}')) return true;
            do {
                std::pair<std::string, Json> m;
                if (!String(&m.first) || !Take(':') || !Value(&m.second)) return false;
                for (const auto& other : v->members)
                    if (other.first == m.first) return false;
                v->members.push_back(m);
            } while (Take(','));
            return Take('}');
        }
        if (c == '[') {
            v->type = 'a';
            ++at;
            if (Take(']')) return true;
            do {
                v->items.emplace_back();
                if (!Value(&v->items.back())) return false;
            } while (Take(','));
            return Take(']');
        }
        if (c == '"') {
            v->type = 's';
            std::string ignored;
            return String(&ignored);
        }
        if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) {
            v->type = 'n';
            if (c == '-') ++at;
            if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at]))) return false;
            if (text[at] == '0' && at + 1 < text.size() &&
                std::isdigit(static_cast<unsigned char>(text[at + 1])))
                return false;
            while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
            return true;
        }
        v->type = c == 'n' ? 0 : 'b';
        return Word("null") || Word("true") || Word("false");
    }
};

bool ParseJson(const std::string& text, Json* v) {
    JsonReader reader{text, 0};
    if (!reader.Value(v)) return false;
    reader.Space();
    return reader.at == text.size();
}

// Every /json key as docs/running.md documents it, with its type: s string,
// n number, b boolean, o object, a array; 0 where it may be null. "[]"
// is each element of an array; "*." stands for "bluetooth." and "net.".
// A key the reports gain is added here, and documented there.
struct JsonKey {
    const char* path;
    const char* types;
};
const JsonKey kJsonKeys[] = {
    {"schemaVersion", "n"}, {"checkVersion", "s0"}, {"exitCode", "n"}, {"result", "s"},
    {"host", "o"}, {"host.versionRead", "b"}, {"host.major", "n"}, {"host.minor", "n"},
    {"host.build", "n"}, {"host.platformId", "n"}, {"host.productType", "n"},
    {"host.hostCode", "n"}, {"host.hostName", "s"}, {"host.amd64", "b"}, {"host.wow64", "b"},
    {"host.wow64Known", "b"}, {"host.nativeMachine", "s"}, {"host.nativeMachineFrom", "s"}, {"host.requestCode", "s"}, {"host.baseCode", "s"},
    {"host.valueInHeapBlock", "b"}, {"host.elevated", "b"}, {"host.administrator", "b"},
    {"settings", "o"}, {"settings.exePath", "s0"}, {"settings.exeSpelled", "b"},
    {"settings.file", "s0"}, {"settings.fileInReach", "b"}, {"settings.exists", "b"},
    {"settings.readable", "b"}, {"settings.fileError", "n"}, {"settings.keys", "a"},
    {"settings.keys[]", "o"}, {"settings.keys[].section", "s"}, {"settings.keys[].key", "s"},
    {"settings.keys[].value", "s0"}, {"settings.keys[].source", "s"},
    {"settings.keys[].refused", "b"}, {"settings.keys[].maxLength", "n"},
    {"settings.serviceName", "s0"},
    {"service", "o"}, {"service.managerOpened", "b"}, {"service.registered", "b"},
    {"service.markedForDelete", "b"},
    {"service.state", "s0"}, {"service.imagePath", "s0"}, {"service.besideSettings", "b"},
    {"service.exeVersion", "s0"}, {"service.exeVersionError", "n"},
    {"service.exeVersionDiffers", "b"},
    {"service.settingsFile", "s0"}, {"service.recovery", "o0"},
    {"service.recovery.asInstalled", "b"}, {"service.recovery.resetSeconds", "n0"},
    {"service.recovery.actionCount", "n"}, {"service.recovery.actions", "a"},
    {"service.recovery.actions[]", "o"}, {"service.recovery.actions[].type", "s"},
    {"service.recovery.actions[].delayMs", "n"}, {"service.requiredPrivileges", "a0"},
    {"service.requiredPrivileges[]", "s"}, {"service.requiredPrivilegeCount", "n0"},
    {"service.eventSourceRegistered", "b"}, {"service.eventMessageFile", "s0"},
    {"service.eventSourceError", "n"},
    {"service.displayNameTaken", "b"}, {"service.displayNameOwner", "s0"},
    {"service.managerError", "n"}, {"service.openError", "n"}, {"service.statusError", "n"},
    {"service.configError", "n"}, {"service.recoveryError", "n"},
    {"home", "o"}, {"home.exe", "o"}, {"home.folder", "o"}, {"home.settingsFile", "o"},
    {"home.exe.path", "s0"}, {"home.exe.access", "s0"}, {"home.exe.account", "s0"},
    {"home.exe.error", "n"},
    {"home.folder.path", "s0"}, {"home.folder.access", "s0"}, {"home.folder.account", "s0"},
    {"home.folder.error", "n"},
    {"home.settingsFile.path", "s0"}, {"home.settingsFile.access", "s0"}, {"home.settingsFile.account", "s0"},
    {"home.settingsFile.error", "n"}, {"home.folderAbove", "o"}, {"home.folderAbove.path", "s0"},
    {"home.folderAbove.access", "s0"}, {"home.folderAbove.account", "s0"},
    {"home.folderAbove.error", "n"}, {"home.foldersAbove", "a"}, {"home.foldersAbove[]", "o"},
    {"home.foldersAbove[].path", "s"}, {"home.foldersAbove[].access", "s0"},
    {"home.foldersAbove[].account", "s0"}, {"home.foldersAbove[].error", "n"},
    {"home.foldersAboveNotJudged", "n"},
    {"bluetooth", "o"}, {"net", "o"}, {"*.class", "s"}, {"*.key", "s"}, {"*.pattern", "s0"},
    {"*.patternRefused", "b"}, {"*.lookup", "s"}, {"*.present", "n"}, {"*.matches", "n"},
    {"*.devices", "a"}, {"*.devices[]", "o"}, {"*.devices[].hardwareId", "s0"},
    {"*.devices[].matched", "b"}, {"*.devices[].started", "b"}, {"*.devices[].stands", "b"},
    {"*.standing", "o0"}, {"*.standing.index", "n"}, {"*.standing.started", "b"},
    {"*.standing.name", "s"}, {"*.suggestedPattern", "s0"},
    {"net.standing.nameKey", "s0"}, {"net.standing.nameValue", "s0"},
    {"net.standing.netCfgInstanceId", "s0"}, {"net.standing.devicePath", "s0"},
    {"net.standing.pathOpens", "b"}, {"net.standing.pathError", "n"},
    {"bluetooth.sendState", "n0"},
    {"lastRequestKept", "s"}, {"lastRequest", "o0"}, {"lastRequest.state", "n"}, {"lastRequest.adapter", "s0"},
    {"lastRequest.timeUtc", "s"}, {"lastRequest.timeLocal", "s0"}, {"lastRequest.accepted", "b"},
    {"lastRequest.failedAt", "s0"}, {"lastRequest.error", "n"}, {"lastRequest.errorName", "s0"},
    {"lastRequest.acceptedState", "n0"}, {"lastRequest.sent", "n"}, {"lastRequest.refused", "n"},
    {"lastRequest.retryWaiting", "b"}, {"lastRequest.retry", "s"},
    {"lastRequest.retryUtc", "s0"}, {"lastRequest.retryLocal", "s0"}, {"lastRequest.fromLastRun", "b"},
    {"warnings", "a"}, {"warnings[]", "o"}, {"warnings[].id", "s"}, {"warnings[].key", "s0"},
    {"warnings[].text", "s"},
};

// The table with "*." spelt out: path -> types.
std::map<std::string, std::string> DocumentedKeys() {
    std::map<std::string, std::string> keys;
    for (const JsonKey& k : kJsonKeys) {
        const std::string path = k.path;
        if (path.compare(0, 2, "*.") != 0) keys[path] = k.types;
        else for (const char* c : {"bluetooth", "net"}) keys[c + path.substr(1)] = k.types;
    }
    return keys;
}

// Each value's type against the table, each object's keys both ways; what
// is wrong is appended to problems.
void CheckJsonValue(const Json& v, const std::string& path,
                    const std::map<std::string, std::string>& keys, std::string* problems) {
    const auto documented = keys.find(path);
    if (documented == keys.end()) {
        *problems += "undocumented " + path + "\n";
        return;
    }
    const char type = v.type ? v.type : '0';
    if (documented->second.find(type) == std::string::npos)
        *problems += path + " has type " + type + "\n";
    for (const Json& item : v.items) CheckJsonValue(item, path + "[]", keys, problems);
    if (v.type != 'o') return;
    const std::string prefix = path.empty() ? "" : path + ".";
    for (const auto& k : keys) {
        const std::string& p = k.first;
        if (p.compare(0, prefix.size(), prefix) != 0 || p.size() == prefix.size() ||
            p.find_first_of(".[", prefix.size()) != std::string::npos)
            continue;
        bool found = false;
        for (const auto& m : v.members) found = found || prefix + m.first == p;
        if (!found) *problems += "missing " + p + "\n";
    }
    for (const auto& m : v.members) CheckJsonValue(m.second, prefix + m.first, keys, problems);
}

std::string JsonProblems(const std::string& text) {
    Json root;
    if (!ParseJson(text, &root)) return "not JSON";
    std::map<std::string, std::string> keys = DocumentedKeys();
    keys[""] = "o";
    std::string problems;
    CheckJsonValue(root, "", keys, &problems);
    return problems;
}

const ExpectedFile* FindExpected(const std::string& name) {
    for (const ExpectedFile* f = kExpectedFiles; f->name != nullptr; ++f)
        if (name == f->name) return f;
    return nullptr;
}

class CheckOutput;

struct OutputState {
    const char* name;
    int exitCode;
    void (CheckOutput::*setUp)();
    const char* option;  // run with this option alone instead of both reports
};

void PrintTo(const OutputState& state, std::ostream* out) { *out << state.name; }

class CheckOutput : public Check, public ::testing::WithParamInterface<OutputState> {
public:
    void Healthy() {
        Settings("VID_0B7C", "VEN_7E57");
        sim::AddBluetoothDevice(kBtId, "0000", true);
        AddAdapter();
        Register("\"C:\\Program Files\\Tolvane\\tolvane.exe\"");
        sim::SimService& s = sim::Scm().services["tolvane_qm5520"];
        s.failureResetSeconds = kFailureResetSeconds;
        s.failureActions.assign(kFailureActions, kFailureActions + kFailureActionCount);
        Sim().SetAccess(std::string(kFolder) + "tolvane.exe", kOrdinaryFile);
        Sim().SetAccess("C:\\Program Files\\Tolvane", kOrdinaryFolder);
        ResetExchangeCounts();
        BeginStatus("Tolvane_QM5520");  // as the service does at start: it names the status key
        RecordExchange(1, PathOf(kGuid).c_str(), {kDriverAccepted, 0}, 0, 0);
    }
    // The driver refused Bluetooth on at the open of the adapter's old path;
    // the adapter now stands at another, and the state waits.
    void DriverRefused() {
        Healthy();
        ResetExchangeCounts();
        BeginStatus("Tolvane_QM5520");
        RecordExchange(1, "\\\\.\\{7E57C4EC-0000-4000-8000-0000000000A0}",
                       {kDriverOpenFailed, ERROR_FILE_NOT_FOUND}, 1, kFirstRetryMs);
    }
    // Rows that would pass 80 columns: a refused request's error by name, a
    // long account "as well", a display name with no space in it.
    void LongWords() {
        Healthy();
        Settings("VID_0B7C", "VEN_7E57",
                 "[Product]\nServiceDisplayName=" + std::string(127, 'D') + "\n");
        Sim().SetAccess("C:\\Program Files\\Tolvane",
                        "D:(A;;FA;;;SY)(A;;0x4;;;S-1-5-21-4294967295-4294967295-4294967295-4294967295)");
        RecordExchange(1, PathOf(kGuid).c_str(), {kDriverControlFailed, ERROR_DEVICE_NOT_CONNECTED},
                       1, kFirstRetryMs);
    }
    // A standard user, and a settings file only administrators may read.
    void SettingsAccessDenied() {
        Healthy();
        Sim().filesDenied.insert(sim::Lower(std::string(kFolder) + "tolvane.ini"));
        sim::Scm().admin = false;
    }
    // Installed by hand to a folder users may change, with none of the
    // privilege limits /install sets; the driver admits only SYSTEM.
    void RefusedToAdministrator() {
        Sim().exePath = "C:\\Tools\\tolvane-check.exe";
        Settings("VID_0B7C", "VEN_7E57");
        AddAdapter();
        Sim().FindDevice(PathOf(kGuid))->adminsDenied = true;
        Register("C:\\Tools\\tolvane.exe");
        sim::Scm().services["tolvane_qm5520"].requiredPrivileges.clear();
        Sim().SetAccess("C:\\Tools\\tolvane.exe", kOrdinaryFile);
        // A folder a user made, tightened since: he owns it still.
        Sim().SetAccess("C:\\Tools", "O:S-1-5-21-1-2-3-1001D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
        Sim().SetAccess("C:\\", "O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x4;;;AU)");
    }
    // An elevated administrator, and a settings file only LocalSystem may read.
    void SettingsRefusedElevated() {
        Healthy();
        Sim().filesSystemOnly.insert(sim::Lower(std::string(kFolder) + "tolvane.ini"));
    }
    void SettingsUtf8Mark() {
        Healthy();
        Settings("VID_0B7C", "VEN_7E57", "\xEF\xBB\xBF[Product]\nModel=QM5530\n");
    }
    void ExeFolderUnspelled() {
        Sim().exePathWide = L"C:\\\x0418\x043D\\tolvane-check.exe";
        AddAdapter();
    }
    void NoSettingsFile() {
        sim::AddBluetoothDevice(kBtId, "0000", false);
        sim::AddBluetoothDevice("USB\\VID_0B7C&PID_0001", "0001", true);
        AddAdapter();
    }
    void SettingsPathTooLong() {
        Sim().exePath = "C:\\" + std::string(MAX_PATH - 15, 'f') + "\\tolvane-check.exe";
        Settings("VID_0B7C", "VEN_7E57");
        AddAdapter();
    }
    void PatternRefused() {
        Settings("VID_0B7C", std::string(64, 'A'));
        AddAdapter();
    }
    void SettingsUnreadable() {
        Sim().exePath = std::string(kFolder) + std::string(kExePathCapacity, 'x') + ".exe";
        AddAdapter();
    }
    void NoAdapter() {
        Settings("VID_0B7C", "VEN_7E57");
        sim::AddBluetoothDevice(kBtId, "0000", true);
        sim::AddWifiAdapter("PCI\\VEN_8086&DEV_0001", "0003", "{00000000-0000-4000-8000-000000000003}",
                            true);
        sim::SimService other;
        other.name = "Tolvane_QM5530";
        other.displayName = "Verdin Service";
        sim::Scm().services["tolvane_qm5530"] = other;
    }
    void AdapterStopped() {
        Settings("VID_0B7C", "VEN_7E57", "[Product]\nModel=" + std::string(56, 'M') + "\n");
        AddAdapter(kWifiId, false);
    }
    void PathUnresolved() {
        Settings("vid_0b7c", "VEN_7E57");
        AddAdapter();
        Sim().DeleteKey("SYSTEM\\CurrentControlSet\\Control\\Class\\"
                        "{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007");
    }
    void PathDoesNotOpen() {
        Settings("VID_0B7C", "VEN_7E57");
        AddAdapter();
        Sim().devices.clear();
        Register("C:\\Other\\tolvane.exe", SERVICE_STOPPED);
    }
    void AccessDenied() {
        Settings("VID_0B7C", "VEN_7E57");
        sim::AddBluetoothDevice(kBtId, "0000", true);
        sim::AddBluetoothDevice("USB\\VID_0B7C&PID_0001", "0001", true);
        AddAdapter();
        Sim().FindDevice(PathOf(kGuid))->usersDenied = true;
        Register("\"C:\\Program Files\\Tolvane\\tolvane.exe\"");
        sim::Scm().services["tolvane_qm5520"].usersDenied = true;
        sim::Scm().admin = false;
    }
    void LongestAllowed() { LongestValues(); }
    void DoubleByteFolder() {
        // "ソフト": 0x5C, the path separator, is the trail byte of the first.
        Sim().codePage = 932;
        Sim().exePath = "C:\\\x83\x5C\x83\x74\x83\x67\\tolvane-check.exe";
        Settings("VID_0B7C", "VEN_7E57", "[Product]\nServiceDisplayName=\x82\xA0\x82\xA2\n");
        sim::AddBluetoothDevice(kBtId, "0000", true);
        AddAdapter();
    }
    // The "Use Unicode UTF-8" option: no byte of "Ü" converts alone.
    void Utf8Folder() {
        Sim().codePage = CP_UTF8;
        Sim().exePath = "C:\\Programme\\\xC3\x9C" "berwachung\\tolvane-check.exe";
        Settings("VID_0B7C", "VEN_7E57");
        sim::AddBluetoothDevice(kBtId, "0000", true);
        AddAdapter();
    }
    void VersionUnreadable() {
        Sim().versionFails = true;
        ForgetHostCode();
        Settings("VID_0B7C", "VEN_7E57");
        AddAdapter();
    }
    void MarkedForDelete() {
        Healthy();
        Sim().SetValue(sim::RegView::Shared, "SYSTEM\\CurrentControlSet\\Services\\Tolvane_QM5520",
                       "DeleteFlag", REG_DWORD, std::string("\1\0\0\0", 4));
    }
    // Stopped after a partial upgrade: its exe of another version.
    void ServiceStopped() {
        Healthy();
        sim::Scm().services["tolvane_qm5520"].state = SERVICE_STOPPED;
        Sim().images[sim::Lower(std::string(kFolder) + "tolvane.exe")] =
            sim::VersionBlock(0, 9, 3, 0);
    }
    // The log's source removed by hand, or left by an install elsewhere.
    void EventSourceMissing() {
        Healthy();
        Sim().DeleteKey("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tolvane_QM5520");
    }
    void EventSourceElsewhere() {
        Healthy();
        RegisterSource("Tolvane_QM5520", "D:\\Old\\tolvane.exe");
    }
    // Windows 11 on ARM: the x86 check runs under emulation.
    void Arm64() {
        Sim().SetHostCode(13);
        Sim().SetArchitecture("ARM64");
        Sim().SetVersion(6, 2, 9200);
        Sim().hasIsWow64Process2 = true;
        Healthy();
    }
    void Nothing() {}
};

const OutputState kOutputStates[] = {
    {"healthy", kCheckWouldTell, &CheckOutput::Healthy, nullptr},
    {"no-settings-file", kCheckServiceNotRegistered, &CheckOutput::NoSettingsFile, nullptr},
    {"pattern-refused", kCheckNoSettings, &CheckOutput::PatternRefused, nullptr},
    {"settings-unreadable", kCheckNoSettings, &CheckOutput::SettingsUnreadable, nullptr},
    {"settings-path-too-long", kCheckNoSettings, &CheckOutput::SettingsPathTooLong, nullptr},
    {"no-adapter", kCheckNoAdapterMatch, &CheckOutput::NoAdapter, nullptr},
    {"adapter-stopped", kCheckAdapterNotStarted, &CheckOutput::AdapterStopped, nullptr},
    {"path-unresolved", kCheckPathUnresolved, &CheckOutput::PathUnresolved, nullptr},
    {"path-does-not-open", kCheckPathDoesNotOpen, &CheckOutput::PathDoesNotOpen, nullptr},
    {"access-denied", kCheckAccessDenied, &CheckOutput::AccessDenied, nullptr},
    {"settings-access-denied", kCheckAccessDenied, &CheckOutput::SettingsAccessDenied, nullptr},
    {"refused-to-administrator", kCheckPathDoesNotOpen, &CheckOutput::RefusedToAdministrator,
     nullptr},
    {"settings-refused-elevated", kCheckNoSettings, &CheckOutput::SettingsRefusedElevated, nullptr},
    {"settings-utf8-mark", kCheckWouldTell, &CheckOutput::SettingsUtf8Mark, nullptr},
    {"exe-folder-unspelled", kCheckNoSettings, &CheckOutput::ExeFolderUnspelled, nullptr},
    {"driver-refused", kCheckDriverRefused, &CheckOutput::DriverRefused, nullptr},
    {"long-words", kCheckDriverRefused, &CheckOutput::LongWords, nullptr},
    {"version-unreadable", kCheckPathUnresolved, &CheckOutput::VersionUnreadable, nullptr},
    {"longest-values", kCheckWouldTell, &CheckOutput::LongestAllowed, nullptr},
    {"double-byte-folder", kCheckServiceNotRegistered, &CheckOutput::DoubleByteFolder, nullptr},
    {"utf8-folder", kCheckServiceNotRegistered, &CheckOutput::Utf8Folder, nullptr},
    {"marked-for-delete", kCheckServiceNotRegistered, &CheckOutput::MarkedForDelete, nullptr},
    {"service-stopped", kCheckServiceNotRunning, &CheckOutput::ServiceStopped, nullptr},
    {"arm64", kCheckWouldTell, &CheckOutput::Arm64, nullptr},
    {"event-source-missing", kCheckWouldTell, &CheckOutput::EventSourceMissing, nullptr},
    {"event-source-elsewhere", kCheckWouldTell, &CheckOutput::EventSourceElsewhere, nullptr},
    {"usage", kCheckUsageAsked, &CheckOutput::Nothing, "/?"},
    {"unknown-option", kCheckUnknownOption, &CheckOutput::Nothing, "/install"},
    {"unknown-option-json", kCheckUnknownOption, &CheckOutput::Nothing, "/json /install"},
};

TEST_P(CheckOutput, IsTheExpectedFileByteForByte) {
    const OutputState& state = GetParam();
    (this->*state.setUp)();
    std::vector<std::pair<std::string, std::string>> outputs;  // file name, output
    if (state.option != nullptr) {
        // Options apart at a space; with /json the output is its object.
        char prog[] = "tolvane-check.exe";
        std::string options = state.option;
        std::vector<char*> argv = {prog};
        for (char* at = &options[0]; at != nullptr; at = std::strchr(at, ' '))
            argv.push_back(at[0] == ' ' ? (*at = '\0', at + 1) : at);
        EXPECT_EQ(state.exitCode, CheckEntry(static_cast<int>(argv.size()), argv.data()));
        outputs.emplace_back(std::string(state.name) + (Has(state.option, "/json") ? ".json" : ".txt"),
                             Sim().stdoutText + Sim().stderrText);
    } else {
        int code = -1;
        outputs.emplace_back(std::string(state.name) + ".txt", Report(false, &code));
        EXPECT_EQ(state.exitCode, code);
        outputs.emplace_back(std::string(state.name) + ".json", Report(true, &code));
        EXPECT_EQ(state.exitCode, code);
        EXPECT_EQ("", JsonProblems(outputs.back().second));
    }

    const char* writeTo = std::getenv("TOLVANE_WRITE_EXPECTED");
    for (const auto& output : outputs) {
        if (writeTo != nullptr && writeTo[0] != '\0') {
            std::FILE* file = std::fopen((writeTo + output.first).c_str(), "wb");
            ASSERT_NE(nullptr, file) << writeTo << output.first;
            std::fwrite(output.second.data(), 1, output.second.size(), file);
            EXPECT_EQ(0, std::fclose(file));
            continue;
        }
        const ExpectedFile* expected = FindExpected(output.first);
        ASSERT_NE(nullptr, expected) << output.first << ": none; scripts/expected.sh makes it";
        EXPECT_EQ(std::string(expected->bytes, expected->size), output.second)
            << output.first << " differs; scripts/expected.sh rewrites it if that is meant";
    }
}

INSTANTIATE_TEST_SUITE_P(States, CheckOutput, ::testing::ValuesIn(kOutputStates),
                         [](const ::testing::TestParamInfo<OutputState>& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(CheckOutputStates, ProduceEveryExitCodeAndWarning) {
    std::vector<int> seen(kCheckExitCodeCount, 0);
    for (const OutputState& state : kOutputStates)
        if (state.exitCode >= 0 && state.exitCode < kCheckExitCodeCount) seen[state.exitCode] = 1;
    for (int code = 0; code < kCheckExitCodeCount; ++code)
        EXPECT_EQ(1, seen[code]) << "no state exits with " << code;

    // Every expected file belongs to a state, and every warning is in one.
    std::string all;
    for (const ExpectedFile* f = kExpectedFiles; f->name != nullptr; ++f) {
        const std::string name = f->name;
        const std::string state = name.substr(0, name.rfind('.'));
        EXPECT_TRUE(std::any_of(std::begin(kOutputStates), std::end(kOutputStates),
                                [&](const OutputState& s) { return state == s.name; }))
            << name << " is left over: scripts/expected.sh removes it";
        all.append(f->bytes, f->size);
    }
    for (int kind = 0; kind < kWarnKindCount; ++kind)
        EXPECT_TRUE(Has(all, std::string("\"id\": \"") + WarningName(kind) + "\""))
            << "no state warns " << WarningName(kind);
}

TEST(CheckOutputStates, JsonCheckRefusesWhatIsNotTheDocumentedShape) {
    const std::string partial = "{\"exitCode\": 0, \"result\": \"would-tell\", \"host\": {}}";
    EXPECT_NE(std::string::npos, JsonProblems(partial).find("missing host.major\n"));
    EXPECT_NE(std::string::npos, JsonProblems(partial).find("missing settings\n"));
    EXPECT_EQ(std::string::npos, JsonProblems(partial).find("result"));
    EXPECT_NE(std::string::npos,
              JsonProblems("{\"exitCode\": \"0\", \"extra\": 1}").find("exitCode has type s\n"));
    EXPECT_NE(std::string::npos,
              JsonProblems("{\"exitCode\": 0, \"extra\": 1}").find("undocumented extra\n"));
    for (const char* bad : {"{\"exitCode\": 0", "{\"a\": [1, 2}", "{\"a\": 1,}", "{\"a\": 01}",
                            "{\"a\": \"\xE9\"}", "{\"a\": \"\\x\"}", "{\"a\": 1, \"a\": 1}",
                            "{} {}", "{\"a\": nul}", "{\"a\": \"\\\"}"})
        EXPECT_EQ("not JSON", JsonProblems(bad)) << bad;
    EXPECT_EQ("not JSON", JsonProblems(std::string("{}\0", 3))) << "a NUL is no white space";
}

class HomeAccess : public SimTest {
protected:
    // WhoMayChange over the list sddl describes ("": none at all): the
    // account's SID and the rights, or the verdict.
    // types, when given, replace the entries' kinds in order.
    std::string Decide(const char* sddl, DWORD changeRights = kFolderChangeRights,
                       std::vector<BYTE> types = {}) {
        Sim().SetAccess("C:\\x", sddl);
        BOOL present = FALSE, defaulted = FALSE;
        PACL acl = nullptr;
        GetSecurityDescriptorDacl(&Sim().security["c:\\x"][0], &present, &acl, &defaulted);
        void* ace = nullptr;
        for (DWORD i = 0; i < types.size() && GetAce(acl, i, &ace); ++i)
            static_cast<ACE_HEADER*>(ace)->AceType = types[i];
        const SID* who = nullptr;
        DWORD rights = 0;
        const int access = WhoMayChange(present ? acl : nullptr, changeRights, &who, &rights);
        if (access != kAccessOthers) return access == kAccessTrusted ? "trusted" : "no list";
        char sid[kSidTextCapacity];
        char hex[kHexTextCapacity];
        FormatSid(who, sid);
        FormatHex(rights, hex);
        return std::string(sid) + " " + hex;
    }
};

TEST_F(HomeAccess, OnlyTheTrustedAccountsMayChangeWhatTheServiceRunsAndReads) {
    const std::string kInstaller = "S-1-5-80-956008885-3418522649-1831038044-1853292631-227147846";
    const std::pair<std::string, std::string> kCases[] = {
        {kOrdinaryFolder, "trusted"},
        {"D:(A;;FA;;;SY)(A;;FW;;;BU)", "S-1-5-32-545 0x00000006"},   // Users may write
        {"D:(A;;FA;;;BA)(A;;0x1301bf;;;AU)", "S-1-5-11 0x00010006"},  // and modify
        {"D:(A;;FA;;;WD)", "S-1-1-0 0x000D0046"},                     // Everyone, full control
        {"", "no list"},
        {"D:", "trusted"},                                    // an empty list lets nobody in
        {"D:AI(A;ID;FA;;;SY)(A;ID;0x2;;;BU)", "S-1-5-32-545 0x00000002"},  // inherited
        {"D:(A;OICIIO;GA;;;BU)", "trusted"},                  // for what is made inside only
        // A deny entry takes rights from its own account, and only before the allow.
        {"D:(D;;FA;;;BG)(A;;0x2;;;BU)", "S-1-5-32-545 0x00000002"},
        {"D:(D;;0x2;;;BU)(A;;0x6;;;BU)(D;;0x4;;;BU)", "S-1-5-32-545 0x00000004"},
        // The trusted accounts exactly; their neighbours not.
        {"D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;CO)(A;;FA;;;" + kInstaller + "4)", "trusted"},
        {"D:(A;;0x2;;;S-1-3-18)", "S-1-3-18 0x00000002"},
        {"D:(A;;0x2;;;" + kInstaller + "5)", kInstaller + "5 0x00000002"},
        // Reading, running and writing attributes change nothing.
        {"D:(A;;0x1201b9;;;BU)", "trusted"},
    };
    for (const auto& c : kCases) EXPECT_EQ(c.second, Decide(c.first.c_str())) << c.first;
    // Each right that changes a folder, alone; deleting a child changes no file.
    for (DWORD right :
         {0x2u, 0x4u, 0x40u, 0x10000u, 0x40000u, 0x80000u, 0x10000000u, 0x40000000u}) {
        char hex[kHexTextCapacity];
        FormatHex(right, hex);
        EXPECT_EQ(std::string("S-1-5-32-545 ") + hex,
                  Decide(("D:(A;;" + std::string(hex) + ";;;BU)").c_str()));
    }
    EXPECT_EQ("trusted", Decide("D:(A;;0x40;;;BU)", kFileChangeRights));
    EXPECT_EQ("trusted", Decide("D:(A;;0x1301bf;;;BU)", kRootChangeRights));
    EXPECT_EQ("S-1-5-32-545 0x00010000", Decide("D:(A;;0x1301bf;;;BU)", kParentChangeRights));
    // A conditional allow entry allows; a conditional deny takes nothing away.
    EXPECT_EQ("S-1-5-32-545 0x00000040",
              Decide("D:(D;;0x40;;;BU)(A;;0x40;;;BU)", kParentChangeRights,
                     {ACCESS_DENIED_CALLBACK_ACE_TYPE, ACCESS_ALLOWED_CALLBACK_ACE_TYPE}));
    EXPECT_EQ("trusted", Decide("D:(A;;0x40;;;BU)", kParentChangeRights,
                                {ACCESS_ALLOWED_OBJECT_ACE_TYPE}));

    // An owner outside SYSTEM, Administrators and TrustedInstaller.
    for (const auto& owner : std::vector<std::pair<std::string, bool>>{
             {"S-1-5-18", false}, {"S-1-5-32-544", false}, {kInstaller + "4", false},
             {"S-1-3-0", true}, {"S-1-5-32-545", true}, {kInstaller + "5", true}}) {
        PSID sid = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidA(owner.first.c_str(), &sid));
        EXPECT_EQ(owner.second, OwnerOutsideTrusted(static_cast<const SID*>(sid))) << owner.first;
        LocalFree(sid);
    }

    // An authority past 32 bits is written in hex.
    const BYTE wide[] = {1, 1, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 7, 0, 0, 0};
    char text[kSidTextCapacity];
    FormatSid(reinterpret_cast<const SID*>(wide), text);
    EXPECT_STREQ("S-1-0x123456789ABC-7", text);
}

class JsonText : public SimTest {};

TEST_F(JsonText, EveryStringIsEscapedAsAsciiJson) {
    // Code page 1252.
    Out out;
    OutStart(&out);
    JsonWriter w;
    JsonStart(&w, &out, sim::Api().MultiByteToWideChar);
    JsonBeginObject(&w, nullptr);
    JsonString(&w, "hardwareId", "USB\\VID_0B7C&PID_\"7B01\"\xE9\x80\x81");
    JsonString(&w, "controls", "a\tb\nc\x01\x7F");
    JsonBeginArray(&w, "empty");
    JsonEndArray(&w);
    JsonNumber(&w, "n", 0xFFFFFFF4);  // an error number is never negative
    JsonString(&w, "none", nullptr);
    JsonEndObject(&w);
    out.text[out.length] = '\0';
    EXPECT_EQ(std::string("{\n"
                          "  \"hardwareId\": "
                          "\"USB\\\\VID_0B7C&PID_\\\"7B01\\\"\\u00e9\\u20ac\\u0081\",\n"
                          "  \"controls\": \"a\\tb\\nc\\u0001\x7F\",\n"
                          "  \"empty\": [],\n"
                          "  \"n\": 4294967284,\n"
                          "  \"none\": null\n"
                          "}\n"),
              out.text);

    // A lead byte's character is converted whole; one the code page refuses
    // becomes U+FFFD rather than a byte that is not UTF-8.
    // Every control character 0x01 to 0x1F. The writer is given C strings,
    // so 0x00 cannot be inside one: it ends the text, and what follows is
    // not written.
    char controls[0x20];
    for (int c = 1; c < 0x20; ++c) controls[c - 1] = static_cast<char>(c);
    controls[0x1F] = '\0';
    OutStart(&out);
    JsonEscaped(&out, controls, sim::Api().MultiByteToWideChar);
    out.text[out.length] = '\0';
    EXPECT_STREQ("\"\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r"
                 "\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018"
                 "\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f\"",
                 out.text);
    OutStart(&out);
    JsonEscaped(&out, "a\0b", sim::Api().MultiByteToWideChar);
    out.text[out.length] = '\0';
    EXPECT_STREQ("\"a\"", out.text);

    Sim().codePage = 932;
    OutStart(&out);
    JsonEscaped(&out, "\x82\xA0|\x82\x20|\x82", sim::Api().MultiByteToWideChar);
    out.text[out.length] = '\0';
    EXPECT_STREQ("\"\\u3042|\\ufffd |\\ufffd\"", out.text);

    // UTF-8: no byte of a character converts alone. Text the code page
    // refuses whole still gives the characters it holds.
    Sim().codePage = CP_UTF8;
    for (const auto& c : std::vector<std::pair<const char*, const char*>>{
             {"\xC3\x9C" "berwachung\xF0\x9F\x98\x80", "\"\\u00dcberwachung\\ud83d\\ude00\""},
             {"\xC3\x9C\xFF\xE2\x82" "a\xC3", "\"\\u00dc\\ufffd\\ufffd\\ufffda\\ufffd\""}}) {
        OutStart(&out);
        JsonEscaped(&out, c.first, sim::Api().MultiByteToWideChar);
        EXPECT_EQ(c.second, std::string(out.text, out.length));
    }
}

}  // namespace
