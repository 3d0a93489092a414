/* machprobe.exe: the machine's self-test client.  It uses the system the way
 * the product does, so the self-test shows the machine serves that use.
 *
 *   machprobe list CLASSNAME
 *       enumerate present devices of a class; for each print one line
 *       id=... hwid=... friendly=... desc=... driver=... location=... mfg=...
 *       cr=N status=0x... problem=N started=0|1   (node status asked after
 *       the device-information list is gone)
 *   machprobe switch HWID-SUBSTRING CODE VALUE
 *       find the Net device, its NetCfgInstanceId, open \\.\{GUID} and send
 *       0x170002 with CODE in and VALUE out; prints "ok ..." or "fail ..."
 *   machprobe send {GUID} CODE VALUE [COUNT]
 *       the same request straight to \\.\{GUID}, COUNT times (default 1)
 *   machprobe service NAME LOGFILE
 *       run as service NAME, registered for device events; log one line per
 *       event or control to LOGFILE
 */
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <dbt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_DEVICES 64

struct device
{
    DWORD devinst;
    char id[MAX_DEVICE_ID_LEN];
    char props[6][512];
};

static const DWORD prop_codes[6] = { SPDRP_HARDWAREID, SPDRP_FRIENDLYNAME, SPDRP_DEVICEDESC,
                                     SPDRP_DRIVER, SPDRP_LOCATION_INFORMATION, SPDRP_MFG };
static const char *prop_names[6] = { "hwid", "friendly", "desc", "driver", "location", "mfg" };

static int enumerate(const char *class_name, struct device *devs, int max)
{
    GUID guid;
    DWORD n = 0;
    HDEVINFO set;
    SP_DEVINFO_DATA data;
    int count = 0, p;
    DWORD i;

    if (!SetupDiClassGuidsFromNameA(class_name, &guid, 1, &n) || !n) return -1;
    set = SetupDiGetClassDevsA(&guid, NULL, NULL, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return -1;
    for (i = 0; count < max; i++)
    {
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInfo(set, i, &data)) break;
        devs[count].devinst = data.DevInst;
        SetupDiGetDeviceInstanceIdA(set, &data, devs[count].id, sizeof(devs[count].id), NULL);
        for (p = 0; p < 6; p++)
        {
            char *buf = devs[count].props[p];
            memset(buf, 0, 512);
            if (!SetupDiGetDeviceRegistryPropertyA(set, &data, prop_codes[p], NULL, (BYTE *)buf, 510, NULL))
                snprintf(buf, 512, "-(error %lu)", GetLastError());
        }
        count++;
    }
    SetupDiDestroyDeviceInfoList(set);
    return count;
}

static int cmd_list(const char *class_name)
{
    struct device devs[MAX_DEVICES];
    int n = enumerate(class_name, devs, MAX_DEVICES), i, p;

    if (n < 0)
    {
        printf("fail class=%s error=%lu\n", class_name, GetLastError());
        return 1;
    }
    for (i = 0; i < n; i++)
    {
        /* As the product does: after the list is destroyed. */
        ULONG status = 0xdeadbeef, problem = 0xdeadbeef;
        CONFIGRET cr = CM_Get_DevNode_Status(&status, &problem, devs[i].devinst, 0);

        printf("id=%s", devs[i].id);
        for (p = 0; p < 6; p++) printf(" %s=%s", prop_names[p], devs[i].props[p]);
        printf(" cr=%lu status=0x%08lX problem=%lu started=%d\n", (unsigned long)cr, status, problem,
               (status & DN_STARTED) ? 1 : 0);
    }
    printf("count=%d\n", n);
    return 0;
}

static int send_request(const char *guid, DWORD code, DWORD value);

static int cmd_switch(const char *pattern, DWORD code, DWORD value)
{
    struct device devs[MAX_DEVICES];
    char want[256], hw[512], path[300], guid[128];
    int n = enumerate("Net", devs, MAX_DEVICES), i;
    DWORD size;
    HKEY key;
    LONG err;

    lstrcpynA(want, pattern, sizeof(want));
    CharUpperA(want);
    for (i = 0; i < n; i++)
    {
        lstrcpynA(hw, devs[i].props[0], sizeof(hw));
        CharUpperA(hw);
        if (strstr(hw, want)) break;
    }
    if (i >= n) { printf("fail stage=find\n"); return 1; }

    size = strlen(devs[i].props[3]);
    if (size < 4) { printf("fail stage=driver\n"); return 1; }
    snprintf(path, sizeof(path),
             "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002bE10318}\\%s",
             devs[i].props[3] + size - 4);
    if ((err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key)))
    {
        printf("fail stage=classkey error=%ld\n", err);
        return 1;
    }
    size = sizeof(guid);
    err = RegQueryValueExA(key, "NetCfgInstanceId", NULL, NULL, (BYTE *)guid, &size);
    RegCloseKey(key);
    if (err) { printf("fail stage=netcfg error=%ld\n", err); return 1; }

    return send_request(guid, code, value);
}

/* Opens the adapter exactly as the product does and sends one request. */
static int send_request(const char *guid, DWORD code, DWORD value)
{
    char path[300];
    DWORD ret = 0;
    HANDLE h;

    snprintf(path, sizeof(path), "\\\\.\\%s", guid);
    h = CreateFileA(path, 0, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, INVALID_HANDLE_VALUE);
    if (h == INVALID_HANDLE_VALUE) { printf("fail stage=open error=%lu\n", GetLastError()); return 1; }
    if (!DeviceIoControl(h, 0x170002, &code, sizeof(code), &value, sizeof(value), &ret, NULL))
    {
        printf("fail stage=ioctl error=%lu guid=%s\n", GetLastError(), guid);
        CloseHandle(h);
        return 1;
    }
    CloseHandle(h);
    printf("ok guid=%s returned=%lu\n", guid, ret);
    return 0;
}

/* --- service ----------------------------------------------------------- */

static char service_name[256], log_path[MAX_PATH];
static SERVICE_STATUS_HANDLE status_handle;
static HANDLE stop_event;

static void log_line(const char *text)
{
    HANDLE f = CreateFileA(log_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, 0, NULL);
    DWORD written;
    if (f == INVALID_HANDLE_VALUE) return;
    WriteFile(f, text, strlen(text), &written, NULL);
    WriteFile(f, "\n", 1, &written, NULL);
    CloseHandle(f);
}

static void report(DWORD state)
{
    SERVICE_STATUS st;
    memset(&st, 0, sizeof(st));
    st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    st.dwCurrentState = state;
    st.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(status_handle, &st);
}

static DWORD WINAPI handler(DWORD control, DWORD type, void *data, void *context)
{
    char line[256];

    switch (control)
    {
    case SERVICE_CONTROL_DEVICEEVENT:
    {
        DEV_BROADCAST_HDR *hdr = data;
        snprintf(line, sizeof(line), "control=11 type=0x%04lX devtype=%ld", type,
                 hdr ? (long)hdr->dbch_devicetype : -1L);
        log_line(line);
        return NO_ERROR;
    }
    case SERVICE_CONTROL_STOP:
        log_line("control=1");
        report(SERVICE_STOP_PENDING);
        SetEvent(stop_event);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    }
    return ERROR_CALL_NOT_IMPLEMENTED;
}

static void WINAPI service_main(DWORD argc, char **argv)
{
    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    HDEVNOTIFY notify;
    char line[128];
    /* GUID_DEVINTERFACE_VOLUME; with ALL_INTERFACE_CLASSES it selects nothing. */
    static const GUID volume = { 0x53f5630d, 0xb6bf, 0x11d0, { 0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b } };

    stop_event = CreateEventA(NULL, TRUE, FALSE, NULL);
    status_handle = RegisterServiceCtrlHandlerExA(service_name, handler, NULL);
    if (!status_handle) return;
    report(SERVICE_RUNNING);

    memset(&filter, 0, sizeof(filter));
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = volume;
    notify = RegisterDeviceNotificationA(status_handle, &filter,
                                         DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
    snprintf(line, sizeof(line), "registered=%d size=%u", notify ? 1 : 0, (unsigned)sizeof(filter));
    log_line(line);

    WaitForSingleObject(stop_event, INFINITE);
    if (notify) UnregisterDeviceNotification(notify);
    report(SERVICE_STOPPED);
}

int main(int argc, char **argv)
{
    if (argc >= 3 && !strcmp(argv[1], "list")) return cmd_list(argv[2]);
    if (argc >= 5 && !strcmp(argv[1], "switch"))
        return cmd_switch(argv[2], strtoul(argv[3], NULL, 0), strtoul(argv[4], NULL, 0));
    if (argc >= 5 && !strcmp(argv[1], "send"))
    {
        DWORD code = strtoul(argv[3], NULL, 0), value = strtoul(argv[4], NULL, 0);
        unsigned long i, count = argc >= 6 ? strtoul(argv[5], NULL, 0) : 1;
        int r = 0;
        for (i = 0; i < count && !r; i++) r = send_request(argv[2], code, value);
        return r;
    }
    if (argc >= 4 && !strcmp(argv[1], "service"))
    {
        SERVICE_TABLE_ENTRYA table[2];
        lstrcpynA(service_name, argv[2], sizeof(service_name));
        lstrcpynA(log_path, argv[3], sizeof(log_path));
        table[0].lpServiceName = service_name;
        table[0].lpServiceProc = service_main;
        table[1].lpServiceName = NULL;
        table[1].lpServiceProc = NULL;
        return StartServiceCtrlDispatcherA(table) ? 0 : 1;
    }
    fprintf(stderr, "usage: machprobe list CLASS | switch HWID CODE VALUE | send GUID CODE VALUE [COUNT] | service NAME LOGFILE\n");
    return 2;
}
