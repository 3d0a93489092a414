// tolvane_bench.exe ROUNDS [-v]: the cost of one device event (-v: each
// round's times on standard error).
//
// Times the product's arrival rule (the core library, as the service runs
// it) against a bare event made of only the calls the job cannot avoid,
// both in this process, on whatever machine it runs on. The two alternate
// round by round (and which goes first alternates too), so machine noise
// falls on both; the figure that counts is the median of per-round ratios.
//
// Each round of the product sends exactly one request: the last Bluetooth
// state is flipped before the call, so the rule sees a change, while the
// adapter stays told. The bare event always sends one. The product's
// request also notes its exchange in the Status key under the key of the
// service the settings name (made for the run when missing, as a
// registered service has one); the bare event has no such work, so the
// status counts on the product's side only.
//
// The patterns are read from tolvane_bench.ini beside the exe, by both.
// Prints one line:
//   product_ms=P bare_ms=B ratio=R rounds=N requests=Q agree=0|1 status=0|1
//   bt=0|1 path=ADAPTER bt_devices=N net_devices=N
// where requests is how many requests the driver should have recorded (one
// per round from each, when an adapter stands) and
// agree says the product and the bare event found the same Bluetooth state
// and adapter path in every round, and status that the Status key counts
// every request the product sent; then what the bare event found: the
// Bluetooth state, the adapter path and how many devices each class lists.
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/settings.h"
#include "host/host_classify.h"
#include "radio/coordinator.h"
#include "radio/driver_request.h"
#include "radio/driver_status.h"

namespace {

const int kMaxRounds = 2000;
const int kWarmupRounds = 2;
const DWORD kTextCapacity = 256;
const DWORD kPathCapacity = 64;
const char kClassKeyRoot[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\";

struct BareOutcome {
    int btStarted;
    char adapterPath[kPathCapacity];
    DWORD btDevices;  // present devices listed per class
    DWORD netDevices;
};

// One class: the class GUID, the present devices, each one's hardware ID;
// for the last match its node status and, with adapterPath, its driver key
// and adapter name. Returns 1 when a device matched.
int BareProbe(const char* className, const char* pattern, int* started, char* adapterPath,
              DWORD* listed) {
    GUID guid;
    DWORD guidCount = 0;
    if (!SetupDiClassGuidsFromNameA(className, &guid, 1, &guidCount) || guidCount == 0) return 0;
    HDEVINFO list = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT);
    if (list == INVALID_HANDLE_VALUE) return 0;

    SP_DEVINFO_DATA element;
    SP_DEVINFO_DATA match;
    std::memset(&element, 0, sizeof element);
    element.cbSize = sizeof element;
    int found = 0;
    char text[kTextCapacity];
    DWORD i = 0;
    for (; SetupDiEnumDeviceInfo(list, i, &element); ++i) {
        std::memset(text, 0, sizeof text);
        if (!SetupDiGetDeviceRegistryPropertyA(list, &element, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<BYTE*>(text), sizeof text - 1,
                                               nullptr))
            text[0] = '\0';
        CharUpperBuffA(text, static_cast<DWORD>(std::strlen(text)));
        if (std::strstr(text, pattern) != nullptr) {
            match = element;
            found = 1;
        }
    }
    *listed = i;

    if (found) {
        ULONG status = 0;
        ULONG problem = 0;
        if (CM_Get_DevNode_Status(&status, &problem, match.DevInst, 0) != CR_SUCCESS) status = 0;
        *started = (status & DN_STARTED) ? 1 : 0;

        char key[kTextCapacity + sizeof kClassKeyRoot];
        std::strcpy(key, kClassKeyRoot);
        char* driver = key + sizeof kClassKeyRoot - 1;
        std::memset(driver, 0, kTextCapacity);
        SetupDiGetDeviceRegistryPropertyA(list, &match, SPDRP_DRIVER, nullptr,
                                          reinterpret_cast<BYTE*>(driver), kTextCapacity - 1,
                                          nullptr);
        HKEY classKey = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &classKey) == ERROR_SUCCESS) {
            char id[kPathCapacity];
            DWORD size = sizeof id - 1;
            std::memset(id, 0, sizeof id);
            if (RegQueryValueExA(classKey, "NetCfgInstanceId", nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(id), &size) == ERROR_SUCCESS &&
                adapterPath != nullptr && std::strlen(id) + 5 <= kPathCapacity) {
                std::strcpy(adapterPath, "\\\\.\\");
                std::strcat(adapterPath, id);
            }
            RegCloseKey(classKey);
        }
    }
    SetupDiDestroyDeviceInfoList(list);
    return found;
}

// The whole bare event: two pattern reads, two probes, one request.
void BareEvent(const char* iniPath, DWORD requestCode, BareOutcome* out) {
    char btPattern[kTextCapacity];
    char wifiPattern[kTextCapacity];
    GetPrivateProfileStringA("Settings", "BTHWID", "", btPattern, sizeof btPattern, iniPath);
    GetPrivateProfileStringA("Settings", "WiFiHWID", "", wifiPattern, sizeof wifiPattern, iniPath);

    out->btStarted = 0;
    out->adapterPath[0] = '\0';
    BareProbe("Bluetooth", btPattern, &out->btStarted, nullptr, &out->btDevices);
    int wifiStarted = 0;
    BareProbe("Net", wifiPattern, &wifiStarted, out->adapterPath, &out->netDevices);
    if (!wifiStarted) out->adapterPath[0] = '\0';

    if (out->adapterPath[0] == '\0') return;
    HANDLE device = CreateFileA(out->adapterPath, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    if (device == INVALID_HANDLE_VALUE) return;
    DWORD code = requestCode;
    DWORD value = out->btStarted ? 1 : 0;
    DWORD returned = 0;
    DeviceIoControl(device, kNdisQueryGlobalStats, &code, sizeof code, &value, sizeof value,
                    &returned, nullptr);
    CloseHandle(device);
}

// The product's arrival rule, made to send once: see the file comment.
void ProductEvent(int btState) {
    LastBluetoothState = btState ? 0 : 1;
    OnDeviceArrival();
}

// The Sent count the product's requests left in the Status key; -1 for none.
long StatusSent() {
    char path[kStatusKeyCapacity];
    std::snprintf(path, sizeof path, "%s\\%s\\%s", kServicesKey, ServiceName, kStatusSubKey);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return -1;
    DWORD sent = 0;
    DWORD size = sizeof sent;
    const LONG result = RegQueryValueExA(key, kStatusNumberNames[kStatusSent], nullptr, nullptr,
                                         reinterpret_cast<BYTE*>(&sent), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? static_cast<long>(sent) : -1;
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency) {
    return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

double Median(double* values, int count) {
    std::sort(values, values + count);
    return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2.0;
}

double g_product[kMaxRounds];
double g_bare[kMaxRounds];
double g_ratio[kMaxRounds];

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    const bool verbose = argc > 2 && std::strcmp(argv[2], "-v") == 0;
    if (rounds < 1 || rounds > kMaxRounds) {
        std::fprintf(stderr, "usage: tolvane_bench ROUNDS [-v] (ROUNDS 1..%d)\n", kMaxRounds);
        return 2;
    }

    // The settings file the product reads: the exe's path, extension "ini".
    char iniPath[MAX_PATH + 4];
    DWORD length = GetModuleFileNameA(nullptr, iniPath, MAX_PATH);
    if (length < 4 || length >= MAX_PATH) return 2;
    std::strcpy(iniPath + length - 3, "ini");

    // As the process entry and the service entry do before the start-up rule.
    // The status goes under the service's key only: one the manager keeps
    // for a registered service, made here for the run when missing.
    DeriveServiceName();
    char serviceKey[kStartedServiceKeyCapacity];
    std::snprintf(serviceKey, sizeof serviceKey, "%s\\%s", kServicesKey, ServiceName);
    HKEY made = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, serviceKey, 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &made, &disposition) == ERROR_SUCCESS)
        RegCloseKey(made);
    BeginStatus(ServiceName);
    const int hostCode = HostCode();
    CoordinatorHostCode = hostCode;
    const DWORD requestCode = RequestCode(
        hostCode < kHostVista ? kBaseCodeBefore10 : kBaseCodeFrom10, hostCode);

    // Start-up as the service does it, then one bare event to learn the
    // Bluetooth state both will see from then on.
    OnServiceStart();
    BareOutcome bare;
    BareEvent(iniPath, requestCode, &bare);
    const int adapter = bare.adapterPath[0] != '\0';
    int requests = (WifiPresent ? 1 : 0) + adapter;
    long productRequests = WifiPresent ? 1 : 0;

    int agree = 1;
    LARGE_INTEGER frequency, t0, t1, t2;
    QueryPerformanceFrequency(&frequency);
    for (int r = -kWarmupRounds; r < rounds; ++r) {
        double productMs = 0.0;
        double bareMs = 0.0;
        if (r % 2 == 0) {
            QueryPerformanceCounter(&t0);
            ProductEvent(bare.btStarted);
            QueryPerformanceCounter(&t1);
            BareEvent(iniPath, requestCode, &bare);
            QueryPerformanceCounter(&t2);
            productMs = Milliseconds(t0, t1, frequency);
            bareMs = Milliseconds(t1, t2, frequency);
        } else {
            QueryPerformanceCounter(&t0);
            BareEvent(iniPath, requestCode, &bare);
            QueryPerformanceCounter(&t1);
            ProductEvent(bare.btStarted);
            QueryPerformanceCounter(&t2);
            bareMs = Milliseconds(t0, t1, frequency);
            productMs = Milliseconds(t1, t2, frequency);
        }
        // One request each per round: the driver's record is the check.
        requests += 2 * adapter;
        productRequests += adapter;
        if (LastBluetoothState != bare.btStarted || std::strcmp(AdapterPath, bare.adapterPath) != 0)
            agree = 0;
        if (verbose) std::fprintf(stderr, "round %d product_ms=%.3f bare_ms=%.3f\n", r, productMs, bareMs);
        if (r >= 0) {
            g_product[r] = productMs;
            g_bare[r] = bareMs;
            g_ratio[r] = bareMs > 0.0 ? productMs / bareMs : 0.0;
        }
    }

    std::printf("product_ms=%.3f bare_ms=%.3f ratio=%.3f rounds=%d requests=%d agree=%d status=%d\n",
                Median(g_product, rounds), Median(g_bare, rounds), Median(g_ratio, rounds), rounds,
                requests, agree, StatusSent() == productRequests ? 1 : 0);
    std::printf("bt=%d path=%s bt_devices=%lu net_devices=%lu\n", bare.btStarted, bare.adapterPath,
                bare.btDevices, bare.netDevices);
    if (disposition == REG_CREATED_NEW_KEY) {
        char status[kStatusKeyCapacity];
        std::snprintf(status, sizeof status, "%s\\%s", serviceKey, kStatusSubKey);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, status);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, serviceKey);
    }
    return 0;
}
