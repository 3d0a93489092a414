#include "check/check_facts.h"

#include <cstring>

#include "config/text_join.h"
#include "devices/device_text.h"
#include "host/registry_reader.h"
#include "platform/win32_api.h"
#include "radio/coordinator.h"

namespace {

// The text upper-cased as the lookup upper-cases hardware IDs into out
// (capacity bytes). Returns 1, or 0 when it does not fit or is not valid text.
int UpperCased(const char* text, char* out, DWORD capacity) {
    if (!JoinText(out, capacity, text)) return 0;
    return UpperCaseFirstString(out, capacity, Win().IsDBCSLeadByte, Win().CharUpperBuffA,
                                Win().MultiByteToWideChar) >= 0;
}

// BUILTIN\Administrators (S-1-5-32-544), as CheckTokenMembership takes it.
struct AdministratorsSid {
    BYTE revision, count, authority[6];
    DWORD sub[2];
};
AdministratorsSid g_administrators = {SID_REVISION, 2, {0, 0, 0, 0, 0, 5},
                                      {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};

void GatherHost(HostFacts* h) {
    h->versionRead = ReadVersionFields(&h->version);
    h->code = HostCode();
    h->amd64 = IsAmd64Host();
    h->wow64Known = IsWow64ProcessEntry != nullptr;
    h->wow64 = ProcessIsWow64();
    h->baseCode = BaseCodeFor(h->code);
    h->requestCode = RequestCode(h->baseCode, h->code);
    h->heapBlock = ValueInHeapBlock(h->code);
    // A member of Administrators, as an access check counts it: a filtered
    // token holds the group for denying only, so an administrator not
    // elevated is none, nor is an elevated member of another group.
    BOOL member = FALSE;
    h->administrator = Win().CheckTokenMembership(nullptr, &g_administrators, &member) && member;
    HANDLE token = nullptr;
    DWORD elevation = 0;
    DWORD size = 0;
    // Before Vista there is no elevation: an administrator runs with its rights.
    h->elevated = h->administrator;
    if (!Win().OpenProcessToken(Win().GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    if (Win().GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size))
        h->elevated = elevation != 0;
    Win().CloseHandle(token);
}

void GatherSettings(SettingsFacts* s) {
    s->located = LocateSettingsFile(s->file);
    // A folder the code page cannot spell is named as the "A" call reads
    // it; the buffer's last byte stays its terminator.
    if (s->located == kSettingsExeUnspelled)
        Win().GetModuleFileNameA(nullptr, s->exePath, kExePathCapacity - 1);
    else SettingsExePath(s->exePath);
    const int named = s->located == kSettingsFileNamed;
    if (named) {
        // Opened, not only looked at: a user may list a folder whose file
        // only SYSTEM and Administrators may read.
        HANDLE file = Win().CreateFileA(s->file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            s->fileError = Win().GetLastError();
        } else {
            BYTE head[kSettingsHeadCapacity];
            DWORD got = 0;
            if (Win().ReadFile(file, head, sizeof head, &got, nullptr))
                s->utf8Mark = Utf8MarkBeforeSection(head, got);
            Win().CloseHandle(file);
        }
        s->fileOpens = file != INVALID_HANDLE_VALUE;
        s->fileExists = s->fileError != ERROR_FILE_NOT_FOUND && s->fileError != ERROR_PATH_NOT_FOUND;
        s->refused = s->fileError == ERROR_ACCESS_DENIED;
    }
    for (int i = 0; i < kSettingCount; ++i) {
        const SettingRule& rule = kSettingRules[i];
        SettingFacts& k = s->keys[i];
        k.read = ReadSetting(rule.section, rule.key, rule.def, k.value, rule.capacity);
        // A key the file holds reads the same whatever the default; an
        // absent one reads as the default given. A refused value came from
        // the file: no default is too long.
        char probe[kSettingValueCapacity];
        const int probeRead =
            ReadSetting(rule.section, rule.key, rule.def[0] ? "" : "?", probe, rule.capacity);
        k.fromFile = named && (!k.read || (probeRead && std::strcmp(probe, k.value) == 0));
    }
    // Defaults read in place of a refused file are not the service's.
    s->nameDerived = !s->refused && DeriveServiceName();
    if (s->nameDerived) std::memcpy(s->serviceName, ServiceName, sizeof s->serviceName);
}

// Compared as the code page upper-cases them: Windows ignores case in paths
// and service names alike.
bool SameIgnoringCase(const char* a, const char* b) {
    char upperA[kImagePathCapacity];
    char upperB[kImagePathCapacity];
    return UpperCased(a, upperA, sizeof upperA) && UpperCased(b, upperB, sizeof upperB) &&
           std::strcmp(upperA, upperB) == 0;
}

// Another service that already has the display name in force, as its
// display name or as its key name: the manager refuses both.
void FindDisplayNameOwner(SC_HANDLE manager, const SettingsFacts& settings, ServiceFacts* f) {
    const SettingFacts& display = settings.keys[kSettingDisplayName];
    if (!display.read || display.value[0] == '\0' || settings.refused)
        return;
    char owner[kServiceKeyNameCapacity];
    DWORD size = sizeof owner;
    if (Win().GetServiceKeyNameA(manager, display.value, owner, &size)) {
        owner[sizeof owner - 1] = '\0';
    } else if (Win().GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        // The "A" call sizes by the Unicode text: a long double-byte key
        // name does not fit, and is no service of ours (ours is short).
        f->displayNameTaken = 1;
        return;
    } else {
        // Only whether a service of that key name exists matters here.
        char unused[kServiceKeyNameCapacity];
        size = sizeof unused;
        if (!Win().GetServiceDisplayNameA(manager, display.value, unused, &size) &&
            Win().GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return;
        JoinText(owner, sizeof owner, display.value);
    }
    f->displayNameTaken = !SameIgnoringCase(owner, settings.serviceName);
    if (f->displayNameTaken) JoinText(f->displayNameOwner, sizeof f->displayNameOwner, owner);
}

// The manager marks a deleted service in its key until the service goes:
// the service still opens, runs if it ran, and cannot be installed again.
int MarkedForDelete(const char* serviceName) {
    char path[kStartedServiceKeyCapacity];
    HKEY key = nullptr;
    DWORD flag = 0;
    DWORD type = 0;
    DWORD size = sizeof flag;
    if (!JoinText(path, sizeof path, kServicesKey, "\\", serviceName) ||
        Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 0;
    const LONG result = Win().RegQueryValueExA(key, "DeleteFlag", nullptr, &type,
                                               reinterpret_cast<BYTE*>(&flag), &size);
    Win().RegCloseKey(key);
    return result == ERROR_SUCCESS && type == REG_DWORD && size == sizeof flag && flag != 0;
}

// The source's EventMessageFile, read as stored (an expandable string,
// never expanded: /install and the package store a whole path), and
// whether it names exe, the registered one (empty when unknown).
void GatherEventSource(const char* serviceName, const char* exe, ServiceFacts* f) {
    char path[kEventSourceKeyCapacity];
    HKEY key = nullptr;
    DWORD type = 0;
    DWORD size = sizeof f->eventMessageFile - 1;
    if (!EventSourceKeyPath(serviceName, path)) return;
    LONG error = Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key);
    if (error == ERROR_SUCCESS) {
        error = Win().RegQueryValueExA(key, kEventMessageFile, nullptr, &type,
                                       reinterpret_cast<BYTE*>(f->eventMessageFile), &size);
        Win().RegCloseKey(key);
        if (error == ERROR_SUCCESS && type != REG_EXPAND_SZ && type != REG_SZ)
            error = ERROR_INVALID_DATA;
    }
    f->eventSourceError = static_cast<DWORD>(error);
    if (error != ERROR_SUCCESS) {
        f->eventMessageFile[0] = '\0';
        return;
    }
    f->eventMessageFile[size] = '\0';  // stored with its null or without
    f->eventSourceRead = 1;
    f->eventSourceHere = exe[0] != '\0' && SameIgnoringCase(f->eventMessageFile, exe);
}

void GatherService(const SettingsFacts& settings, ServiceFacts* f) {
    // The query rights only: any user may run the check.
    SC_HANDLE manager = Win().OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = nullptr;
    HANDLE heap = Win().GetProcessHeap();
    QUERY_SERVICE_CONFIGA* config = nullptr;
    DWORD needed = 0;
    SERVICE_STATUS status;
    char exe[kImagePathCapacity] = "";

    f->named = settings.serviceName[0] != '\0';
    if (manager == nullptr) {
        f->managerError = Win().GetLastError();
        goto done;
    }
    f->managerOpened = 1;
    FindDisplayNameOwner(manager, settings, f);
    if (!f->named) goto done;
    service = Win().OpenServiceA(manager, settings.serviceName,
                                 SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (service == nullptr) {
        f->openError = Win().GetLastError();
        goto done;
    }
    f->registered = 1;
    f->markedForDelete = MarkedForDelete(settings.serviceName);

    std::memset(&status, 0, sizeof status);
    if (Win().QueryServiceStatus(service, &status)) f->state = status.dwCurrentState;
    else f->statusError = Win().GetLastError();

    config = static_cast<QUERY_SERVICE_CONFIGA*>(
        Win().HeapAlloc(heap, HEAP_ZERO_MEMORY, kServiceConfigCapacity));
    if (config == nullptr) {
        f->configError = ERROR_NOT_ENOUGH_MEMORY;
        goto done;
    }
    // The block serves the three queries, the failure actions first.
    if (Win().QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS,
                                   reinterpret_cast<BYTE*>(config), kServiceConfigCapacity,
                                   &needed)) {
        const SERVICE_FAILURE_ACTIONSA* failure =
            reinterpret_cast<const SERVICE_FAILURE_ACTIONSA*>(config);
        f->recoveryRead = 1;
        f->recoveryResetSeconds = failure->dwResetPeriod;
        f->recoveryActionCount = failure->lpsaActions != nullptr ? failure->cActions : 0;
        for (DWORD i = 0; i < f->recoveryActionCount && i < kRecoveryActionCapacity; ++i)
            f->recoveryActions[i] = failure->lpsaActions[i];
    } else {
        f->recoveryError = Win().GetLastError();
    }
    ReadRequiredPrivileges(service, reinterpret_cast<BYTE*>(config), kServiceConfigCapacity,
                           &f->privileges);
    std::memset(config, 0, kServiceConfigCapacity);
    if (!Win().QueryServiceConfigA(service, config, kServiceConfigCapacity, &needed)) {
        f->configError = Win().GetLastError();
        goto done;
    }
    if (config->lpBinaryPathName == nullptr ||
        !JoinText(f->imagePath, sizeof f->imagePath, config->lpBinaryPathName)) {
        goto done;
    }
    f->configRead = 1;

    if (ImagePathExe(f->imagePath, exe, sizeof exe)) {
        SettingsPathFromExePath(exe, f->settingsFile, sizeof f->settingsFile);
        f->besideSettings = SameIgnoringCase(exe, settings.exePath);
    } else {
        exe[0] = '\0';
    }

    GatherEventSource(settings.serviceName, exe, f);

done:
    if (config != nullptr) Win().HeapFree(heap, 0, config);
    if (service != nullptr) Win().CloseServiceHandle(service);
    if (manager != nullptr) Win().CloseServiceHandle(manager);
}

struct Visit {
    ClassFacts* facts;
    int counting;  // 0: the pattern was refused, nothing counts as a match
};

void VisitDevice(void* context, const SP_DEVINFO_DATA* element, const char* hardwareId,
                 int matched) {
    Visit* v = static_cast<Visit*>(context);
    ClassFacts* c = v->facts;
    const DWORD index = c->present++;
    matched = matched && v->counting;
    if (matched) {
        ++c->matches;
        c->standing = static_cast<long>(index);
    }
    if (index >= kListedDeviceCapacity) return;
    ListedDevice& d = c->devices[index];
    d.valid = hardwareId != nullptr;
    if (d.valid) {
        // The lookup's buffer need not hold a terminator.
        const DWORD length = BoundedTextLength(hardwareId, kPropertyBufferSize);
        std::memcpy(d.hardwareId, hardwareId, length);
        d.hardwareId[length] = '\0';
    }
    d.matched = matched;
    // Asked now: the element is valid only during the call.
    d.started = DeviceNodeStarted(element->DevInst);
}

void GatherClass(const SettingsFacts& s, ClassFacts* c, const RadioClass& radio) {
    const DWORD fill = radio.fill;
    c->className = radio.className;
    c->key = radio.key;
    c->standing = -1;
    c->patternUnknown = s.refused;
    c->patternRead = !c->patternUnknown && ReadSetting(kSectionSettings, c->key, kDefaultPattern,
                                                       c->pattern, sizeof c->pattern);
    char upper[kPatternCapacity];
    c->patternChanges =
        UpperCased(c->pattern, upper, sizeof upper) && std::strcmp(upper, c->pattern) != 0;

    // A refused pattern makes the service look for nothing; the devices are
    // still listed, with no match.
    Visit visit = {c, c->patternRead};
    DeviceRecord record;
    SP_DEVINFO_DATA info;
    std::memset(&info, 0, sizeof info);
    const int result = DeviceLookup(&record, c->patternRead ? c->pattern : "", c->className, &info,
                                    c->patternRead ? fill : kLookupPlain, VisitDevice, &visit);
    c->lookup = c->patternRead ? result : kLookupSkipped;
    if (c->standing < 0) return;

    std::memcpy(&c->payload, &record.Payload, sizeof c->payload);
    c->standingStarted = DeviceNodeStarted(info.DevInst);
    if (!(fill & kLookupAdapterNames)) return;
    if (c->payload.DriverSuffix[0] != '\0')
        AdapterNameKey(c->payload.DriverSuffix, c->nameKey, &c->nameValue);
    // The service never sends to an adapter that is not started, so its
    // path is not opened either.
    if (!c->standingStarted || c->payload.DevicePath[0] == '\0') return;
    HANDLE device = OpenAdapter(c->payload.DevicePath);
    c->pathOpens = device != INVALID_HANDLE_VALUE;
    if (c->pathOpens) Win().CloseHandle(device);
    else c->pathError = Win().GetLastError();
}

// One value of the expected type; a string must fit with its terminator.
LONG ReadValue(HKEY key, const char* name, DWORD type, void* data, DWORD capacity) {
    DWORD got = 0;
    DWORD size = capacity;
    const LONG result =
        Win().RegQueryValueExA(key, name, nullptr, &got, static_cast<BYTE*>(data), &size);
    if (result != ERROR_SUCCESS) return result;
    const char* text = static_cast<const char*>(data);
    const bool whole = type == REG_DWORD ? size == sizeof(DWORD) : size > 0 && !text[size - 1];
    return got == type && whole ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

// TimeUtc moved to local time into local; empty when it is not a time.
void LocalTime(const char* utc, char* local) {
    local[0] = '\0';
    SYSTEMTIME t;
    SYSTEMTIME localTime = {};
    // By the zone's rules for that date: daylight saving as it was then.
    if (ParseStatusTime(utc, &t) &&
        Win().SystemTimeToTzSpecificLocalTime(nullptr, &t, &localTime))
        FormatStatusTime(localTime, local);
}

// One reading of the Status key at path, its Sequence first and last.
// Returns 0 when it is worth reading again: the record was being written, a
// start removed the key meanwhile, or the key was just made. Every key
// opened is closed.
int ReadStatusOnce(const char* path, LastRequestFacts* f) {
    HKEY key = nullptr;
    f->error = static_cast<DWORD>(
        Win().RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key));
    if (f->error != ERROR_SUCCESS) return f->error != ERROR_KEY_DELETED;
    struct Wanted {
        const char* name;
        DWORD type;
        void* data;
        DWORD capacity;
    };
    DWORD before = 0;
    DWORD after = 0;
    const Wanted kText[] = {{kStatusFailedAt, REG_SZ, f->failedAt, sizeof f->failedAt},
                            {kStatusAdapter, REG_SZ, f->adapter, sizeof f->adapter},
                            {kStatusTimeUtc, REG_SZ, f->timeUtc, sizeof f->timeUtc},
                            {kStatusRetryUtc, REG_SZ, f->retryUtc, sizeof f->retryUtc},
                            {kStatusSequence, REG_DWORD, &after, sizeof after}};
    LONG result = ReadValue(key, kStatusSequence, REG_DWORD, &before, sizeof before);
    if (result != ERROR_SUCCESS) f->incompleteAt = kStatusSequence;
    for (int i = 0; i < kStatusNumberCount + kStatusTextCount + 1 && result == ERROR_SUCCESS;
         ++i) {
        const Wanted w = i < kStatusNumberCount
                             ? Wanted{kStatusNumberNames[i], REG_DWORD, &f->numbers[i], sizeof(DWORD)}
                             : kText[i - kStatusNumberCount];
        result = ReadValue(key, w.name, w.type, w.data, w.capacity);
        // The key is there: a value it lacks makes it incomplete, not absent.
        if (result != ERROR_SUCCESS) f->incompleteAt = w.name;
    }
    Win().RegCloseKey(key);
    f->error = static_cast<DWORD>(result);
    f->beingWritten = result == ERROR_SUCCESS && (before % 2 != 0 || after != before);
    f->read = result == ERROR_SUCCESS && !f->beingWritten;
    return !f->beingWritten && result != ERROR_KEY_DELETED && f->incompleteAt != kStatusSequence;
}

// The named service's Status key, read again while it is being written.
void GatherLastRequest(const char* serviceName, LastRequestFacts* f) {
    std::memset(f, 0, sizeof *f);
    char path[kStatusKeyCapacity];
    if (!StatusKeyPath(serviceName, path)) return;
    for (int i = 0; i < kStatusReadTries; ++i) {
        std::memset(f, 0, sizeof *f);
        f->named = 1;
        if (ReadStatusOnce(path, f)) break;
    }
    if (!f->read) return;
    LocalTime(f->timeUtc, f->timeLocal);
    LocalTime(f->retryUtc, f->retryLocal);
}

}  // namespace

int Utf8MarkBeforeSection(const BYTE* head, DWORD length) {
    if (length < 3 || head[0] != 0xEF || head[1] != 0xBB || head[2] != 0xBF) return 0;
    DWORD at = 3;
    while (at < length && (head[at] == ' ' || head[at] == '\t')) ++at;
    return at < length && head[at] == '[';
}

void GatherFacts(CheckFacts* facts) {
    std::memset(facts, 0, sizeof *facts);
    GatherHost(&facts->host);
    GatherSettings(&facts->settings);
    GatherService(facts->settings, &facts->service);
    char exe[kImagePathCapacity];
    // Beside this program otherwise, unless its path names only this program
    // (a folder the code page cannot spell).
    if (!facts->service.configRead || !ImagePathExe(facts->service.imagePath, exe, sizeof exe))
        JoinText(exe, sizeof exe,
                 facts->settings.located == kSettingsExeUnspelled ? "" : facts->settings.exePath);
    GatherHome(exe, &facts->home);
    GatherClass(facts->settings, &facts->bluetooth, kRadioClasses[kRadioBluetooth]);
    GatherClass(facts->settings, &facts->net, kRadioClasses[kRadioWifi]);
    GatherLastRequest(facts->settings.serviceName, &facts->lastRequest);
    ReadNativeMachine(&facts->machine);
    ReadFileVersion(nullptr, &facts->versions.check);
    facts->versions.serviceExeSought =
        facts->service.configRead && ImagePathExe(facts->service.imagePath, exe, sizeof exe);
    if (facts->versions.serviceExeSought) ReadFileVersion(exe, &facts->versions.serviceExe);
}
