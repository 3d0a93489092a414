/* machctl.exe: drives the simulated machine from inside the prefix, one
 * process per command (a registry edit through `wine reg` costs as much as
 * a whole command here).  machine.sh is the interface; this is its engine.
 *
 *   machctl start-driver [timeout_ms]
 *   machctl add bt|wifi NAME started|stopped HWID[,HWID...] FRIENDLY DESC MFG LOCATION [{GUID}]
 *   machctl bulk bt|wifi PREFIX FIRST COUNT
 *   machctl remove NAME
 *   machctl set-hwid NAME HWID...
 *   machctl set-status NAME started|stopped|0xSTATUS [problem]
 *   machctl event NAME arrival|removal
 *   machctl start NAME | stop NAME
 *   machctl info NAME
 *   machctl log | reset | fail N | hold 1|0
 *   machctl resume NAME       (the service hears a resume from sleep)
 *   machctl override EXE
 *   machctl svc-install NAME "COMMAND LINE" | svc-start NAME [timeout_ms] | svc-stop NAME [timeout_ms]
 *   machctl svc-delete NAME | svc-state NAME
 */
#define _WIN32_WINNT 0x0601
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "machine_ioctl.h"

#define ENUM_ROOT   "SYSTEM\\CurrentControlSet\\Enum"
#define CLASS_ROOT  "SYSTEM\\CurrentControlSet\\Control\\Class"
#define IFACE_ROOT  "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{6d2f4a3c-1b7e-4e59-9a0d-5c8e2b41f7a1}"
#define NET_GUID    "{4d36e972-e325-11ce-bfc1-08002be10318}"
#define BT_GUID     "{e0cbf06c-cd8b-4647-bb8a-263b43f0f974}"

/* Node status as Windows reports a running device, and a disabled one. */
#define STATUS_STARTED  0x0180200Au  /* DN_NT_DRIVER|DN_NT_ENUMERATOR|DN_DISABLEABLE|DN_STARTED|DN_DRIVER_LOADED */
#define STATUS_STOPPED  0x01802402u  /* ... |DN_HAS_PROBLEM, not started */
#define PROBLEM_STOPPED 22u          /* CM_PROB_DISABLED */

static int fail(const char *what)
{
    fprintf(stderr, "machctl: %s (error %lu)\n", what, GetLastError());
    return 1;
}

static int fail_code(const char *what, LONG err)
{
    fprintf(stderr, "machctl: %s (error %ld)\n", what, err);
    return 1;
}

/* --- driver ------------------------------------------------------------ */

static HANDLE open_control(void)
{
    return CreateFileA(MACHINE_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       NULL, OPEN_EXISTING, 0, NULL);
}

static BOOL control(DWORD code, const void *in, DWORD in_len, void *out, DWORD out_len, DWORD *ret)
{
    HANDLE h = open_control();
    DWORD dummy;
    BOOL ok;

    if (h == INVALID_HANDLE_VALUE) return FALSE;
    ok = DeviceIoControl(h, code, (void *)in, in_len, out, out_len, ret ? ret : &dummy, NULL);
    CloseHandle(h);
    return ok;
}

static BOOL control_string(DWORD code, const char *s)
{
    WCHAR w[MACHINE_ID_CHARS];
    if (!MultiByteToWideChar(CP_ACP, 0, s, -1, w, MACHINE_ID_CHARS)) return FALSE;
    return control(code, w, (lstrlenW(w) + 1) * sizeof(WCHAR), NULL, 0, NULL);
}

static int svc_start(const char *name, DWORD timeout);

static int cmd_start_driver(int argc, char **argv)
{
    DWORD timeout = argc > 0 ? strtoul(argv[0], NULL, 0) : 20000;
    DWORD start = GetTickCount();
    HANDLE h;

    if (svc_start(MACHINE_DRIVER_SERVICE, timeout)) return 1;
    /* The service reports running before its device is reachable. */
    while ((h = open_control()) == INVALID_HANDLE_VALUE)
    {
        if (GetTickCount() - start > timeout) return fail("control device did not appear");
        Sleep(20);
    }
    CloseHandle(h);
    return 0;
}

/* --- registry ---------------------------------------------------------- */

static BOOL find_device(const char *name, char *id, size_t size)
{
    static const char *dirs[] = { "MACHINE\\BLUETOOTH\\", "MACHINE\\NET\\" };
    char path[512];
    HKEY key;
    int i;

    for (i = 0; i < 2; i++)
    {
        snprintf(path, sizeof(path), ENUM_ROOT "\\%s%s", dirs[i], name);
        if (!RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key))
        {
            RegCloseKey(key);
            snprintf(id, size, "%s%s", dirs[i], name);
            return TRUE;
        }
    }
    return FALSE;
}

static LONG open_device(const char *name, char *id, HKEY *key)
{
    char path[512];
    if (!find_device(name, id, 256)) return ERROR_FILE_NOT_FOUND;
    snprintf(path, sizeof(path), ENUM_ROOT "\\%s", id);
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WRITE, key);
}

static LONG set_str(HKEY key, const char *name, const char *value)
{
    return RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)value, strlen(value) + 1);
}

static LONG set_dword(HKEY key, const char *name, DWORD value)
{
    return RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof(value));
}

/* list: NULL-terminated array of IDs */
static LONG set_hwids(HKEY key, char **list, int count)
{
    char buf[4096];
    size_t n = 0;
    int i;

    for (i = 0; i < count; i++)
    {
        size_t len = strlen(list[i]) + 1;
        if (len == 1) continue;
        if (n + len + 1 > sizeof(buf)) return ERROR_INVALID_PARAMETER;
        memcpy(buf + n, list[i], len);
        n += len;
    }
    buf[n++] = 0;
    return RegSetValueExA(key, "HardwareID", 0, REG_MULTI_SZ, (const BYTE *)buf, n);
}

static BOOL read_str(HKEY key, const char *name, char *buf, DWORD size)
{
    DWORD type;
    buf[0] = 0;
    if (RegQueryValueExA(key, name, NULL, &type, (BYTE *)buf, &size) || type != REG_SZ) return FALSE;
    buf[size ? size - 1 : 0] = 0;
    return TRUE;
}

static LONG set_status(HKEY key, const char *state, const char *problem)
{
    DWORD status, prob = 0;
    LONG err;

    if (!strcmp(state, "started")) status = STATUS_STARTED;
    else if (!strcmp(state, "stopped")) { status = STATUS_STOPPED; prob = PROBLEM_STOPPED; }
    else status = strtoul(state, NULL, 0);
    if (problem) prob = strtoul(problem, NULL, 0);
    if ((err = set_dword(key, "MachineNodeStatus", status))) return err;
    return set_dword(key, "MachineNodeProblem", prob);
}

/* Enumeration in other processes may write a key back while we delete it:
 * delete, give it a moment, look again. */
static LONG delete_tree(const char *path)
{
    HKEY key;
    int i;

    for (i = 0; i < 100; i++)
    {
        LONG err = RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
        if (err == ERROR_SUCCESS) RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
        Sleep(50);
        err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
        if (err == ERROR_FILE_NOT_FOUND) return 0;
        if (!err) RegCloseKey(key);
    }
    return ERROR_ACCESS_DENIED;
}

static BOOL interface_state(const char *id, BOOL on)
{
    struct machine_iface_request req;
    int i;

    memset(&req, 0, sizeof(req));
    req.enable = on;
    for (i = 0; id[i] && i < MACHINE_ID_CHARS - 1; i++) req.id[i] = (unsigned char)id[i];
    return control(IOCTL_MACHINE_INTERFACE, &req, sizeof(req), NULL, 0, NULL);
}

static int cmd_add(int argc, char **argv)
{
    const char *kind, *name, *state, *friendly, *desc, *mfg, *location, *guid = NULL;
    const char *class_guid, *dir;
    char path[512], id[256], driver[128], hwbuf[4096], *hwids[64], *p;
    int nhw = 0, index;
    HKEY key, ckey;
    DWORD disp;
    LONG err;

    if (argc < 8) return fail_code("add: too few arguments", ERROR_INVALID_PARAMETER);
    kind = argv[0]; name = argv[1]; state = argv[2];
    friendly = argv[4]; desc = argv[5]; mfg = argv[6]; location = argv[7];
    if (argc > 8) guid = argv[8];

    if (!strcmp(kind, "bt")) { class_guid = BT_GUID; dir = "BLUETOOTH"; }
    else if (!strcmp(kind, "wifi")) { class_guid = NET_GUID; dir = "NET"; }
    else return fail_code("add: kind must be bt or wifi", ERROR_INVALID_PARAMETER);
    if (!strcmp(kind, "wifi") && !guid) return fail_code("add: wifi needs a {GUID}", ERROR_INVALID_PARAMETER);
    if (find_device(name, id, sizeof(id))) return fail_code("add: device exists", ERROR_ALREADY_EXISTS);

    lstrcpynA(hwbuf, argv[3], sizeof(hwbuf));
    for (p = strtok(hwbuf, ","); p && nhw < 64; p = strtok(NULL, ",")) hwids[nhw++] = p;

    /* The driver's software key, Class\{class}\NNNN: first free number. */
    for (index = 0; index < 10000; index++)
    {
        snprintf(path, sizeof(path), CLASS_ROOT "\\%s\\%04d", class_guid, index);
        if ((err = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &ckey, &disp)))
            return fail_code("add: class key", err);
        if (disp == REG_CREATED_NEW_KEY) break;
        RegCloseKey(ckey);
    }
    if (index == 10000) return fail_code("add: no free class key", ERROR_NO_MORE_ITEMS);
    set_str(ckey, "DriverDesc", desc);
    if (guid) set_str(ckey, "NetCfgInstanceId", guid);
    RegCloseKey(ckey);
    snprintf(driver, sizeof(driver), "%s\\%04d", class_guid, index);

    snprintf(id, sizeof(id), "MACHINE\\%s\\%s", dir, name);
    snprintf(path, sizeof(path), ENUM_ROOT "\\%s", id);
    if ((err = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL)))
        return fail_code("add: device key", err);
    if ((err = set_hwids(key, hwids, nhw))) return fail_code("add: HardwareID", err);
    if (*friendly) set_str(key, "FriendlyName", friendly);
    if (*desc) set_str(key, "DeviceDesc", desc);
    if (*mfg) set_str(key, "Mfg", mfg);
    if (*location) set_str(key, "LocationInformation", location);
    set_str(key, "Driver", driver);
    set_dword(key, "ConfigFlags", 0);
    if ((err = set_status(key, strcmp(state, "started") ? "stopped" : "started", NULL)))
        return fail_code("add: status", err);
    set_str(key, "Class", !strcmp(kind, "bt") ? "Bluetooth" : "Net");
    /* Last: from here on, enumeration lists the device. */
    if ((err = set_str(key, "ClassGUID", class_guid))) return fail_code("add: ClassGUID", err);
    RegCloseKey(key);

    if (guid && !control_string(IOCTL_MACHINE_ADAPTER_ADD, guid)) return fail("add: adapter device");
    if (!strcmp(state, "started") && !interface_state(id, TRUE)) return fail("add: interface arrival");

    printf("id=%s\ndriver=%s\n", id, driver);
    if (guid) printf("guid=%s\n", guid);
    return 0;
}

/* Many stopped devices at once, PREFIX0000 onwards, each as `add` makes it
 * with the default texts, no adapter device and no event: the crowd a probe
 * has to look through.  Wi-Fi ones get made-up GUIDs from their number. */
static int cmd_bulk(int argc, char **argv)
{
    const char *kind, *prefix, *class_guid, *dir, *kind_up;
    char path[512], name[64], id[256], driver[128], hwid[300], text[300], guid[64], *hw[1];
    int first, count, i, index = 0;
    HKEY key, ckey;
    DWORD disp;
    LONG err;

    if (argc < 4) return fail_code("bulk: bt|wifi PREFIX FIRST COUNT", ERROR_INVALID_PARAMETER);
    kind = argv[0]; prefix = argv[1]; first = atoi(argv[2]); count = atoi(argv[3]);
    if (!strcmp(kind, "bt")) { class_guid = BT_GUID; dir = "BLUETOOTH"; kind_up = "BT"; }
    else if (!strcmp(kind, "wifi")) { class_guid = NET_GUID; dir = "NET"; kind_up = "WIFI"; }
    else return fail_code("bulk: kind must be bt or wifi", ERROR_INVALID_PARAMETER);

    for (i = first; i < first + count; i++)
    {
        snprintf(name, sizeof(name), "%s%04d", prefix, i);
        if (find_device(name, id, sizeof(id))) return fail_code("bulk: device exists", ERROR_ALREADY_EXISTS);
        /* Class keys are taken in order from the first free one: one search, not one per device. */
        for (;; index++)
        {
            if (index >= 10000) return fail_code("bulk: no free class key", ERROR_NO_MORE_ITEMS);
            snprintf(path, sizeof(path), CLASS_ROOT "\\%s\\%04d", class_guid, index);
            if ((err = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &ckey, &disp)))
                return fail_code("bulk: class key", err);
            if (disp == REG_CREATED_NEW_KEY) break;
            RegCloseKey(ckey);
        }
        set_str(ckey, "DriverDesc", !strcmp(kind, "bt") ? "Test Bluetooth Adapter" : "Test Wireless Adapter");
        if (!strcmp(kind, "wifi"))
        {
            snprintf(guid, sizeof(guid), "{7E57B0C0-0000-4000-8000-%012X}", i);
            set_str(ckey, "NetCfgInstanceId", guid);
        }
        RegCloseKey(ckey);
        snprintf(driver, sizeof(driver), "%s\\%04d", class_guid, index++);

        snprintf(id, sizeof(id), "MACHINE\\%s\\%s", dir, name);
        snprintf(path, sizeof(path), ENUM_ROOT "\\%s", id);
        if ((err = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL)))
            return fail_code("bulk: device key", err);
        snprintf(hwid, sizeof(hwid), "MACHINE\\%s_%s", kind_up, name);
        CharUpperA(hwid);
        hw[0] = hwid;
        set_hwids(key, hw, 1);
        snprintf(text, sizeof(text), "Test %s %s", !strcmp(kind, "bt") ? "Bluetooth" : "Wi-Fi", name);
        set_str(key, "FriendlyName", text);
        set_str(key, "DeviceDesc", !strcmp(kind, "bt") ? "Test Bluetooth Adapter" : "Test Wireless Adapter");
        set_str(key, "Mfg", "Machine Devices");
        set_str(key, "LocationInformation", !strcmp(kind, "bt") ? "Port_#0001.Hub_#0001" : "PCI bus 2, device 0, function 0");
        set_str(key, "Driver", driver);
        set_dword(key, "ConfigFlags", 0);
        set_status(key, "stopped", NULL);
        set_str(key, "Class", !strcmp(kind, "bt") ? "Bluetooth" : "Net");
        err = set_str(key, "ClassGUID", class_guid);
        RegCloseKey(key);
        if (err) return fail_code("bulk: ClassGUID", err);
    }
    printf("added=%d\n", count);
    return 0;
}

static int cmd_info(int argc, char **argv)
{
    char id[256], buf[1024], path[512];
    DWORD size = sizeof(buf), type, status = 0, problem = 0, dsize;
    HKEY key, ckey;
    LONG err;

    if (argc < 1) return fail_code("info: NAME", ERROR_INVALID_PARAMETER);
    if ((err = open_device(argv[0], id, &key))) return fail_code("info: no such device", err);
    printf("id=%s\n", id);
    if (!RegQueryValueExA(key, "HardwareID", NULL, &type, (BYTE *)buf, &size) && type == REG_MULTI_SZ)
    {
        char *p;
        for (p = buf; *p; p += strlen(p) + 1) printf("hwid=%s\n", p);
    }
    dsize = sizeof(status); RegQueryValueExA(key, "MachineNodeStatus", NULL, NULL, (BYTE *)&status, &dsize);
    dsize = sizeof(problem); RegQueryValueExA(key, "MachineNodeProblem", NULL, NULL, (BYTE *)&problem, &dsize);
    printf("status=0x%08lX\nproblem=%lu\n", status, problem);
    if (read_str(key, "Driver", buf, sizeof(buf)))
    {
        printf("driver=%s\n", buf);
        snprintf(path, sizeof(path), CLASS_ROOT "\\%s", buf);
        if (!RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &ckey))
        {
            if (read_str(ckey, "NetCfgInstanceId", buf, sizeof(buf))) printf("guid=%s\n", buf);
            RegCloseKey(ckey);
        }
    }
    RegCloseKey(key);
    return 0;
}

static int cmd_remove(int argc, char **argv)
{
    char id[256], driver[256] = "", guid[128] = "", path[512], iface[512];
    HKEY key, ckey;
    LONG err;
    int i;

    if (argc < 1) return fail_code("remove: NAME", ERROR_INVALID_PARAMETER);
    if ((err = open_device(argv[0], id, &key))) return fail_code("remove: no such device", err);
    read_str(key, "Driver", driver, sizeof(driver));
    RegCloseKey(key);
    if (driver[0])
    {
        snprintf(path, sizeof(path), CLASS_ROOT "\\%s", driver);
        if (!RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &ckey))
        {
            read_str(ckey, "NetCfgInstanceId", guid, sizeof(guid));
            RegCloseKey(ckey);
        }
    }

    /* Going away is a removal for those listening, if it was on. */
    if (!interface_state(id, FALSE)) return fail("remove: interface removal");
    if (guid[0]) control_string(IOCTL_MACHINE_ADAPTER_REMOVE, guid);

    snprintf(iface, sizeof(iface), IFACE_ROOT "\\##?#%s#{6d2f4a3c-1b7e-4e59-9a0d-5c8e2b41f7a1}", id);
    for (i = 0; iface[i]; i++) if (i > (int)strlen(IFACE_ROOT) + 4 && iface[i] == '\\') iface[i] = '#';
    delete_tree(iface);

    snprintf(path, sizeof(path), ENUM_ROOT "\\%s", id);
    if ((err = delete_tree(path))) return fail_code("remove: device key stays", err);
    if (driver[0])
    {
        snprintf(path, sizeof(path), CLASS_ROOT "\\%s", driver);
        delete_tree(path);
    }
    return 0;
}

static int cmd_set_hwid(int argc, char **argv)
{
    char id[256];
    HKEY key;
    LONG err;

    if (argc < 2) return fail_code("set-hwid: NAME HWID...", ERROR_INVALID_PARAMETER);
    if ((err = open_device(argv[0], id, &key))) return fail_code("set-hwid: no such device", err);
    err = set_hwids(key, argv + 1, argc - 1);
    RegCloseKey(key);
    return err ? fail_code("set-hwid", err) : 0;
}

static int cmd_set_status(int argc, char **argv)
{
    char id[256];
    HKEY key;
    LONG err;

    if (argc < 2) return fail_code("set-status: NAME STATE [problem]", ERROR_INVALID_PARAMETER);
    if ((err = open_device(argv[0], id, &key))) return fail_code("set-status: no such device", err);
    err = set_status(key, argv[1], argc > 2 ? argv[2] : NULL);
    RegCloseKey(key);
    return err ? fail_code("set-status", err) : 0;
}

static int cmd_event(int argc, char **argv)
{
    char id[256];
    BOOL on;

    if (argc < 2) return fail_code("event: NAME arrival|removal", ERROR_INVALID_PARAMETER);
    if (!find_device(argv[0], id, sizeof(id))) return fail_code("event: no such device", ERROR_FILE_NOT_FOUND);
    if (!strcmp(argv[1], "arrival")) on = TRUE;
    else if (!strcmp(argv[1], "removal")) on = FALSE;
    else return fail_code("event: arrival or removal", ERROR_INVALID_PARAMETER);
    return interface_state(id, on) ? 0 : fail("event");
}

/* start/stop: what switching a device on or off looks like from outside. */
static int cmd_switch(int argc, char **argv, BOOL on)
{
    char *status_args[2], *event_args[2];
    int r;

    if (argc < 1) return fail_code("start/stop: NAME", ERROR_INVALID_PARAMETER);
    status_args[0] = event_args[0] = argv[0];
    status_args[1] = on ? "started" : "stopped";
    event_args[1] = on ? "arrival" : "removal";
    if ((r = cmd_set_status(2, status_args))) return r;
    return cmd_event(2, event_args);
}

/* The record; exit 3 when it was full, so no caller takes it for whole. */
static int cmd_log(void)
{
    static char buf[MACHINE_LOG_READ_SIZE + 1];
    DWORD got = 0;

    if (!control(IOCTL_MACHINE_LOG_READ, NULL, 0, buf, MACHINE_LOG_READ_SIZE, &got)) return fail("log");
    fwrite(buf, 1, got, stdout);
    buf[got] = '\0';
    return strstr(buf, MACHINE_LOG_FULL) ? 3 : 0;
}

static int cmd_fail(int argc, char **argv)
{
    ULONG n;
    if (argc < 1) return fail_code("fail: N", ERROR_INVALID_PARAMETER);
    n = strtoul(argv[0], NULL, 0);
    return control(IOCTL_MACHINE_FAIL_NEXT, &n, sizeof(n), NULL, 0, NULL) ? 0 : fail("fail");
}

static int cmd_hold(int argc, char **argv)
{
    ULONG on;
    if (argc < 1) return fail_code("hold: 1|0", ERROR_INVALID_PARAMETER);
    on = strtoul(argv[0], NULL, 0);
    return control(IOCTL_MACHINE_HOLD, &on, sizeof(on), NULL, 0, NULL) ? 0 : fail("hold");
}

static int cmd_override(int argc, char **argv)
{
    char path[512];
    HKEY key;
    LONG err;

    if (argc < 1) return fail_code("override: EXE", ERROR_INVALID_PARAMETER);
    snprintf(path, sizeof(path), "Software\\Wine\\AppDefaults\\%s\\DllOverrides", argv[0]);
    if ((err = RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL)))
        return fail_code("override", err);
    set_str(key, "setupapi", "native,builtin");
    set_str(key, "sechost", "native,builtin");
    RegCloseKey(key);
    return 0;
}

/* --- services ---------------------------------------------------------- */

/* The service's handle, or NULL with the open's own error kept. */
static SC_HANDLE open_svc(const char *name, DWORD access)
{
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS), svc;
    DWORD err;
    if (!scm) return NULL;
    svc = OpenServiceA(scm, name, access);
    err = GetLastError();
    CloseServiceHandle(scm);
    SetLastError(err);
    return svc;
}

static BOOL wait_state(SC_HANDLE svc, DWORD want, DWORD timeout)
{
    DWORD start = GetTickCount();
    SERVICE_STATUS st;

    for (;;)
    {
        if (!QueryServiceStatus(svc, &st)) return FALSE;
        if (st.dwCurrentState == want) return TRUE;
        if (want == SERVICE_RUNNING && st.dwCurrentState == SERVICE_STOPPED && GetTickCount() - start > 500)
        {
            SetLastError(st.dwWin32ExitCode ? st.dwWin32ExitCode : ERROR_SERVICE_NOT_ACTIVE);
            return FALSE;
        }
        if (GetTickCount() - start > timeout) { SetLastError(WAIT_TIMEOUT); return FALSE; }
        Sleep(20);
    }
}

static int svc_start(const char *name, DWORD timeout)
{
    SC_HANDLE svc = open_svc(name, SERVICE_ALL_ACCESS);
    BOOL ok;

    if (!svc) return fail("service not found");
    if (!StartServiceA(svc, 0, NULL) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
    {
        CloseServiceHandle(svc);
        return fail("StartService");
    }
    ok = wait_state(svc, SERVICE_RUNNING, timeout);
    CloseServiceHandle(svc);
    return ok ? 0 : fail("service did not reach running");
}

static int cmd_svc(const char *verb, int argc, char **argv)
{
    DWORD timeout = argc > 1 ? strtoul(argv[1], NULL, 0) : 20000;
    SERVICE_STATUS st;
    SC_HANDLE svc;
    BOOL ok;

    if (argc < 1) return fail_code("svc: NAME", ERROR_INVALID_PARAMETER);
    if (!strcmp(verb, "svc-install"))
    {
        SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
        if (argc < 2 || !scm) return fail("svc-install");
        svc = CreateServiceA(scm, argv[0], argv[0], SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, argv[1], NULL, NULL, NULL, NULL, NULL);
        CloseServiceHandle(scm);
        if (!svc) return fail("CreateService");
        CloseServiceHandle(svc);
        return 0;
    }
    if (!strcmp(verb, "svc-start")) return svc_start(argv[0], timeout);

    if (!(svc = open_svc(argv[0], SERVICE_ALL_ACCESS)))
    {
        /* Absent only as the manager says it: any other failure is no answer. */
        if (!strcmp(verb, "svc-state") && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
        {
            printf("absent\n");
            return 0;
        }
        return fail("service not found");
    }
    if (!strcmp(verb, "svc-stop"))
    {
        if (!ControlService(svc, SERVICE_CONTROL_STOP, &st) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
            ok = FALSE;
        else
            ok = wait_state(svc, SERVICE_STOPPED, timeout);
    }
    else if (!strcmp(verb, "svc-delete"))
        ok = DeleteService(svc);
    else if (!strcmp(verb, "svc-resume"))
        ok = ControlService(svc, MACHINE_CONTROL_RESUME, &st);
    else if ((ok = QueryServiceStatus(svc, &st)))
    {
        static const char *names[] = { "?", "stopped", "start-pending", "stop-pending", "running",
                                       "continue-pending", "pause-pending", "paused" };
        printf("%s\n", st.dwCurrentState < 8 ? names[st.dwCurrentState] : "?");
    }
    CloseServiceHandle(svc);
    return ok ? 0 : fail(verb);
}

int main(int argc, char **argv)
{
    const char *cmd;

    if (argc < 2)
    {
        fprintf(stderr, "usage: machctl COMMAND [ARGS...]\n");
        return 2;
    }
    cmd = argv[1];
    argc -= 2;
    argv += 2;

    if (!strcmp(cmd, "start-driver")) return cmd_start_driver(argc, argv);
    if (!strcmp(cmd, "add")) return cmd_add(argc, argv);
    if (!strcmp(cmd, "bulk")) return cmd_bulk(argc, argv);
    if (!strcmp(cmd, "remove")) return cmd_remove(argc, argv);
    if (!strcmp(cmd, "info")) return cmd_info(argc, argv);
    if (!strcmp(cmd, "set-hwid")) return cmd_set_hwid(argc, argv);
    if (!strcmp(cmd, "set-status")) return cmd_set_status(argc, argv);
    if (!strcmp(cmd, "event")) return cmd_event(argc, argv);
    if (!strcmp(cmd, "start")) return cmd_switch(argc, argv, TRUE);
    if (!strcmp(cmd, "stop")) return cmd_switch(argc, argv, FALSE);
    if (!strcmp(cmd, "log")) return cmd_log();
    if (!strcmp(cmd, "reset")) return control(IOCTL_MACHINE_LOG_RESET, NULL, 0, NULL, 0, NULL) ? 0 : fail("reset");
    if (!strcmp(cmd, "fail")) return cmd_fail(argc, argv);
    if (!strcmp(cmd, "hold")) return cmd_hold(argc, argv);
    if (!strcmp(cmd, "override")) return cmd_override(argc, argv);
    if (!strncmp(cmd, "svc-", 4)) return cmd_svc(cmd, argc, argv);
    fprintf(stderr, "machctl: unknown command %s\n", cmd);
    return 2;
}
