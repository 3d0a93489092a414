// Simulated Setup API and configuration manager.
#include "sim_setupapi.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {

const GUID kNetClassGuid = {0x4D36E972, 0xE325, 0x11CE,
                            {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kBluetoothClassGuid = {0xE0CBF06C, 0xCD8B, 0x4647,
                                  {0xBB, 0x8A, 0x26, 0x3B, 0x43, 0xF0, 0xF9, 0x74}};

namespace {

SetupApi g_setup;
DWORD g_madeUpClasses = 0;

const char kNetClassKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\";
const char kLegacyNetClassKey[] = "SYSTEM\\CurrentControlSet\\Services\\Class\\Net\\";

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<DEVINST>* FindList(HDEVINFO list) {
    auto it = g_setup.lists.find(reinterpret_cast<uintptr_t>(list));
    return it == g_setup.lists.end() ? nullptr : &it->second;
}

// The device a call's element names in the list, found as on Windows by
// the element's Reserved member (its DevInst is not consulted); or the error
// Wine gives.
DWORD FindElement(HDEVINFO list, const SP_DEVINFO_DATA* info, DEVINST* devInst) {
    std::vector<DEVINST>* devices = FindList(list);
    if (devices == nullptr) return ERROR_INVALID_HANDLE;
    if (info == nullptr || info->cbSize != sizeof(SP_DEVINFO_DATA)) return ERROR_INVALID_PARAMETER;
    auto e = g_setup.elements.find(info->Reserved);
    if (e == g_setup.elements.end() || e->second.first != reinterpret_cast<uintptr_t>(list))
        return ERROR_INVALID_PARAMETER;
    *devInst = (*devices)[e->second.second];
    return ERROR_SUCCESS;
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// ---- setupapi ----

BOOL WINAPI SimSetupDiClassGuidsFromNameA(PCSTR className, LPGUID list, DWORD listSize,
                                          PDWORD required) {
    if (className == nullptr || (list == nullptr && listSize > 0))
        return Fail(ERROR_INVALID_PARAMETER);
    DWORD count = 0;
    for (const auto& c : g_setup.classes) {
        if (Lower(c.first) != Lower(className)) continue;
        if (count < listSize) list[count] = c.second;
        ++count;
    }
    if (required != nullptr) *required = count;
    // More GUIDs than the list holds: the ones that fit are filled, the
    // call fails.
    if (count > listSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
    return TRUE;
}

HDEVINFO WINAPI SimSetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent,
                                        DWORD flags) {
    ClassDevsCall call{};
    call.guidGiven = classGuid != nullptr;
    if (classGuid != nullptr) call.guid = *classGuid;
    call.enumeratorGiven = enumerator != nullptr;
    call.parentGiven = parent != nullptr;
    call.flags = flags;
    g_setup.classDevsCalls.push_back(call);

    if (g_setup.failListCreations > 0) {
        --g_setup.failListCreations;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    const bool allClasses = (flags & DIGCF_ALLCLASSES) != 0;
    if (classGuid == nullptr && !allClasses) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::vector<DEVINST> devices;
    for (const DevNode& node : g_setup.devices) {
        if (allClasses || SameGuid(node.classGuid, *classGuid)) devices.push_back(node.devInst);
    }
    uintptr_t h = State().NewHandle(HandleKind::DevInfoList);
    g_setup.lists[h] = devices;
    return reinterpret_cast<HDEVINFO>(h);
}

BOOL WINAPI SimSetupDiEnumDeviceInfo(HDEVINFO list, DWORD index, PSP_DEVINFO_DATA info) {
    std::vector<DEVINST>* devices = FindList(list);
    if (devices == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (info == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (info->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (index >= devices->size()) return Fail(ERROR_NO_MORE_ITEMS);
    DEVINST devInst = (*devices)[index];
    const DevNode* node = FindNode(devInst);
    info->ClassGuid = node ? node->classGuid : GUID{};
    info->DevInst = devInst;
    // Names the list's entry, as the pointer Windows puts there does; it
    // means nothing once the list is destroyed.
    ULONG_PTR token = g_setup.nextElementToken++;
    g_setup.elements[token] = {reinterpret_cast<uintptr_t>(list), index};
    info->Reserved = token;
    return TRUE;
}

BOOL WINAPI SimSetupDiGetDeviceRegistryPropertyA(HDEVINFO list, PSP_DEVINFO_DATA info,
                                                 DWORD property, PDWORD type, PBYTE buffer,
                                                 DWORD size, PDWORD required) {
    DEVINST devInst = 0;
    DWORD error = FindElement(list, info, &devInst);
    if (error != ERROR_SUCCESS) return Fail(error);

    PropertyRead read{devInst, property, size, true, FALSE};
    for (DWORD i = 0; buffer != nullptr && i < size; ++i) {
        if (buffer[i] != 0) read.bufferWasClear = false;
    }
    g_setup.propertyReads.push_back(read);

    if (buffer == nullptr && size > 0) return Fail(ERROR_INVALID_DATA);
    const DevNode* node = FindNode(devInst);
    if (node == nullptr) return Fail(ERROR_NO_SUCH_DEVINST);
    auto p = node->properties.find(property);
    if (p == node->properties.end()) {
        // Wine reports no type and the buffer's size as the size.
        if (type != nullptr) *type = REG_NONE;
        if (required != nullptr) *required = size;
        return Fail(ERROR_INVALID_DATA);
    }

    const std::string& data = p->second.data;
    const DWORD needed = static_cast<DWORD>(data.size());
    if (type != nullptr) *type = p->second.type;
    if (required != nullptr) *required = needed;
    // Too large: nothing is copied, the size needed is reported.
    if (needed > size) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, data.data(), needed);
    // Text stored without its NUL gets one where there is room, not counted;
    // text that fills the buffer stays unterminated.
    if (IsStringType(p->second.type) && needed > 0 && data.back() != '\0' && needed < size)
        buffer[needed] = 0;
    g_setup.propertyReads.back().ok = TRUE;
    return TRUE;
}

BOOL WINAPI SimSetupDiDestroyDeviceInfoList(HDEVINFO list) {
    uintptr_t h = reinterpret_cast<uintptr_t>(list);
    if (!State().CloseSimHandle(h, HandleKind::DevInfoList)) return FALSE;
    g_setup.lists.erase(h);
    for (auto e = g_setup.elements.begin(); e != g_setup.elements.end();) {
        if (e->second.first == h) e = g_setup.elements.erase(e);
        else ++e;
    }
    return TRUE;
}

// ---- cfgmgr32 ----

CONFIGRET WINAPI SimCM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devInst,
                                          ULONG flags) {
    g_setup.statusQueries.push_back(devInst);
    if (status == nullptr || problem == nullptr) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    const DevNode* node = FindNode(devInst);
    if (node == nullptr) return CR_NO_SUCH_DEVINST;
    if (node->statusResult != CR_SUCCESS) return node->statusResult;
    *status = node->status;
    *problem = node->problem;
    return CR_SUCCESS;
}

}  // namespace

SetupApi& SetupState() { return g_setup; }

std::string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

void AddSetupClass(const std::string& name, const GUID& guid) {
    g_setup.classes.push_back({name, guid});
}

GUID ClassGuidOf(const std::string& className) {
    for (const auto& c : g_setup.classes) {
        if (Lower(c.first) == Lower(className)) return c.second;
    }
    GUID made = {0x70C7A3E0, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0}};
    made.Data4[7] = static_cast<unsigned char>(++g_madeUpClasses);
    AddSetupClass(className, made);
    return made;
}

std::string DriverKey(const std::string& className, const std::string& instance) {
    return GuidText(ClassGuidOf(className)) + "\\" + instance;
}

DevNode* FindNode(DEVINST devInst) {
    for (DevNode& node : g_setup.devices) {
        if (node.devInst == devInst) return &node;
    }
    return nullptr;
}

void SetProperty(DEVINST devInst, DWORD property, DWORD type, const std::string& bytes) {
    DevNode* node = FindNode(devInst);
    if (node != nullptr) node->properties[property] = {type, bytes};
}

void SetTextProperty(DEVINST devInst, DWORD property, const std::string& text) {
    SetProperty(devInst, property, REG_SZ, std::string(text.c_str(), text.size() + 1));
}

void SetHardwareIds(DEVINST devInst, const std::vector<std::string>& ids) {
    std::string bytes;
    for (const std::string& id : ids) bytes += std::string(id.c_str(), id.size() + 1);
    bytes += std::string(1, '\0');
    SetProperty(devInst, SPDRP_HARDWAREID, REG_MULTI_SZ, bytes);
}

void RemoveProperty(DEVINST devInst, DWORD property) {
    DevNode* node = FindNode(devInst);
    if (node != nullptr) node->properties.erase(property);
}

DEVINST AddDevice(const std::string& className, const std::vector<std::string>& hardwareIds,
                  const std::string& friendlyName, const std::string& desc,
                  const std::string& driverKey, const std::string& location,
                  const std::string& mfg, bool started) {
    DevNode node{};
    node.devInst = g_setup.nextDevInst++;
    node.classGuid = ClassGuidOf(className);
    node.statusResult = CR_SUCCESS;
    g_setup.devices.push_back(node);
    DEVINST d = node.devInst;

    if (!hardwareIds.empty()) SetHardwareIds(d, hardwareIds);
    const std::pair<DWORD, const std::string*> texts[] = {
        {SPDRP_FRIENDLYNAME, &friendlyName}, {SPDRP_DEVICEDESC, &desc},
        {SPDRP_DRIVER, &driverKey},          {SPDRP_LOCATION_INFORMATION, &location},
        {SPDRP_MFG, &mfg}};
    for (const auto& t : texts) {
        if (!t.second->empty()) SetTextProperty(d, t.first, *t.second);
    }
    SetStarted(d, started);
    return d;
}

DEVINST AddWifiAdapter(const std::string& hardwareId, const std::string& instance,
                       const std::string& netCfgInstanceId, bool started) {
    DEVINST d = AddDevice("Net", {hardwareId}, "Wi-Fi Adapter #" + instance,
                          "Wireless Network Adapter", DriverKey("Net", instance),
                          "PCI bus 3, device 0, function 0", "Wireless Maker", started);
    if (!netCfgInstanceId.empty()) AddNetAdapterKey(instance, netCfgInstanceId);
    return d;
}

DEVINST AddBluetoothDevice(const std::string& hardwareId, const std::string& instance,
                           bool started) {
    return AddDevice("Bluetooth", {hardwareId}, "Bluetooth Radio #" + instance,
                     "Generic Bluetooth Radio", DriverKey("Bluetooth", instance),
                     "Port_#0004.Hub_#0001", "Radio Maker", started);
}

void AddNetAdapterKey(const std::string& suffix, const std::string& netCfgInstanceId) {
    State().SetString(kNetClassKey + suffix, "NetCfgInstanceId", netCfgInstanceId);
}

void AddLegacyNetAdapterKey(const std::string& suffix, const std::string& deviceVxDs) {
    State().SetString(kLegacyNetClassKey + suffix, "DeviceVxDs", deviceVxDs);
}

void SetStarted(DEVINST devInst, bool started) {
    SetNodeStatus(devInst, started ? kStartedStatus : kStoppedStatus,
                  started ? 0 : kStoppedProblem);
}

void SetNodeStatus(DEVINST devInst, ULONG status, ULONG problem) {
    DevNode* node = FindNode(devInst);
    if (node == nullptr) return;
    node->status = status;
    node->problem = problem;
    node->statusResult = CR_SUCCESS;
}

void FailNodeStatus(DEVINST devInst, CONFIGRET result) {
    DevNode* node = FindNode(devInst);
    if (node != nullptr) node->statusResult = result;
}

void RemoveDevice(DEVINST devInst) {
    auto& devices = g_setup.devices;
    devices.erase(std::remove_if(devices.begin(), devices.end(),
                                 [devInst](const DevNode& n) { return n.devInst == devInst; }),
                  devices.end());
}

void ResetSetupApi() {
    g_setup = SetupApi();
    g_madeUpClasses = 0;
    AddSetupClass("Net", kNetClassGuid);
    AddSetupClass("Bluetooth", kBluetoothClassGuid);
}

void BindSetupApi(Win32Api& api) {
    api.SetupDiClassGuidsFromNameA = SimSetupDiClassGuidsFromNameA;
    api.SetupDiGetClassDevsA = SimSetupDiGetClassDevsA;
    api.SetupDiEnumDeviceInfo = SimSetupDiEnumDeviceInfo;
    api.SetupDiGetDeviceRegistryPropertyA = SimSetupDiGetDeviceRegistryPropertyA;
    api.SetupDiDestroyDeviceInfoList = SimSetupDiDestroyDeviceInfoList;
    api.CM_Get_DevNode_Status = SimCM_Get_DevNode_Status;
}

}  // namespace sim
