/* setupapi.dll stand-in, loaded into one chosen exe through a per-exe DLL
 * override.  It answers node-status queries from a value the machine keeps
 * under each device's Enum key, and forwards every other export (see the
 * generated .def) to Wine's own DLL, copied here as setupapi_wine.dll.
 *
 * A DevInst handed out by Wine dies with its device-information list, while
 * callers (as on Windows) may ask for its status afterwards; so the ID of
 * every listed device is remembered per DevInst. */
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#define REAL_DLL "setupapi_wine.dll"
#define MAP_SIZE 1024

typedef BOOL (WINAPI *enum_fn)(HDEVINFO, DWORD, SP_DEVINFO_DATA *);
typedef BOOL (WINAPI *destroy_fn)(HDEVINFO);
typedef BOOL (WINAPI *get_id_fn)(HDEVINFO, SP_DEVINFO_DATA *, char *, DWORD, DWORD *);
typedef CONFIGRET (WINAPI *cm_get_id_fn)(DEVINST, char *, ULONG, ULONG);

static CRITICAL_SECTION lock;
static char ids[MAP_SIZE][MAX_DEVICE_ID_LEN];   /* DevInst -> device instance ID */

static FARPROC real(const char *name)
{
    static HMODULE mod;
    if (!mod) mod = LoadLibraryA(REAL_DLL);
    return mod ? GetProcAddress(mod, name) : NULL;
}

static void remember(HDEVINFO set, SP_DEVINFO_DATA *data)
{
    get_id_fn get_id = (get_id_fn)real("SetupDiGetDeviceInstanceIdA");
    char id[MAX_DEVICE_ID_LEN];

    if (!get_id || data->DevInst >= MAP_SIZE) return;
    if (!get_id(set, data, id, sizeof(id), NULL)) return;
    EnterCriticalSection(&lock);
    lstrcpynA(ids[data->DevInst], id, MAX_DEVICE_ID_LEN);
    LeaveCriticalSection(&lock);
}

BOOL WINAPI standin_SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA *data)
{
    enum_fn fn = (enum_fn)real("SetupDiEnumDeviceInfo");
    BOOL ok;

    if (!fn) { SetLastError(ERROR_PROC_NOT_FOUND); return FALSE; }
    ok = fn(set, index, data);
    if (ok && data && data->cbSize == sizeof(*data)) remember(set, data);
    return ok;
}

BOOL WINAPI standin_SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    enum_fn fn_enum = (enum_fn)real("SetupDiEnumDeviceInfo");
    destroy_fn fn = (destroy_fn)real("SetupDiDestroyDeviceInfoList");
    SP_DEVINFO_DATA data;
    DWORD i;

    if (!fn) { SetLastError(ERROR_PROC_NOT_FOUND); return FALSE; }
    /* Members the caller never enumerated through us are kept too. */
    if (fn_enum)
    {
        for (i = 0;; i++)
        {
            data.cbSize = sizeof(data);
            if (!fn_enum(set, i, &data)) break;
            remember(set, &data);
        }
    }
    return fn(set);
}

static BOOL lookup(DEVINST dev, char *id)
{
    BOOL found = FALSE;

    if (dev < MAP_SIZE)
    {
        EnterCriticalSection(&lock);
        if (ids[dev][0]) { lstrcpynA(id, ids[dev], MAX_DEVICE_ID_LEN); found = TRUE; }
        LeaveCriticalSection(&lock);
    }
    if (!found)
    {
        cm_get_id_fn fn = (cm_get_id_fn)real("CM_Get_Device_IDA");
        found = fn && fn(dev, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS;
    }
    return found;
}

static DWORD read_dword(HKEY key, const char *name, DWORD fallback)
{
    DWORD value, size = sizeof(value), type;
    if (RegQueryValueExA(key, name, NULL, &type, (BYTE *)&value, &size) || type != REG_DWORD)
        return fallback;
    return value;
}

CONFIGRET WINAPI standin_CM_Get_DevNode_Status_Ex(ULONG *status, ULONG *problem, DEVINST dev,
                                                  ULONG flags, HMACHINE machine)
{
    char id[MAX_DEVICE_ID_LEN], path[MAX_DEVICE_ID_LEN + 64];
    HKEY key;

    if (!status || !problem) return CR_INVALID_POINTER;
    if (!lookup(dev, id)) return CR_INVALID_DEVNODE;

    lstrcpyA(path, "SYSTEM\\CurrentControlSet\\Enum\\");
    lstrcatA(path, id);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key)) return CR_NO_SUCH_DEVNODE;
    /* Devices the machine did not create count as running: Wine lists only
     * devices it has, and has no notion of a stopped one. */
    *status = read_dword(key, "MachineNodeStatus", DN_DRIVER_LOADED | DN_STARTED);
    *problem = read_dword(key, "MachineNodeProblem", 0);
    RegCloseKey(key);
    return CR_SUCCESS;
}

CONFIGRET WINAPI standin_CM_Get_DevNode_Status(ULONG *status, ULONG *problem, DEVINST dev, ULONG flags)
{
    return standin_CM_Get_DevNode_Status_Ex(status, problem, dev, flags, NULL);
}

BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, void *reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        InitializeCriticalSection(&lock);
        DisableThreadLibraryCalls(inst);
    }
    return TRUE;
}
