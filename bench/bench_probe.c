/* bench_probe.exe: times a service on the simulated machine from inside
 * the prefix, where no process start-up stands between the moments timed.
 *
 *   bench_probe startup SERVICE
 *       start request to running (polled every millisecond): "ms=T"
 *   bench_probe latency DEVICE
 *       switches a machine Bluetooth device on if it is off, else off (node
 *       status, then interface arrival or removal, as `machine.sh start|stop`
 *       does) and waits until the test driver's record grows: "ms=T", or
 *       "timeout" after 10 s
 *   bench_probe idle SECONDS
 *       sleeps: while it runs the prefix has a process of its own, so Wine
 *       does not end the machine (services alone do not keep it up)
 *
 * Exit code 0 when timed, 1 when not. */
#include <windows.h>
#include <cfgmgr32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "machine_ioctl.h"

#define ENUM_KEY "SYSTEM\\CurrentControlSet\\Enum\\MACHINE\\BLUETOOTH\\"
#define WAIT_MS 10000
#define LOG_CAPACITY 65536

static LARGE_INTEGER frequency, started_at;

static void clock_start(void)
{
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&started_at);
}

static double clock_ms(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)(now.QuadPart - started_at.QuadPart) * 1000.0 / (double)frequency.QuadPart;
}

static int startup(const char *name)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT), service = NULL;
    SERVICE_STATUS status;
    int rc = 1;

    if (manager) service = OpenServiceA(manager, name, SERVICE_START | SERVICE_QUERY_STATUS);
    if (!service) goto done;
    clock_start();
    if (!StartServiceA(service, 0, NULL)) goto done;
    while (QueryServiceStatus(service, &status) && clock_ms() < WAIT_MS)
    {
        if (status.dwCurrentState == SERVICE_RUNNING) { printf("ms=%.1f\n", clock_ms()); rc = 0; break; }
        if (status.dwCurrentState == SERVICE_STOPPED) break;
        Sleep(1);
    }
done:
    if (rc) printf("failed error=%lu\n", GetLastError());
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    return rc;
}

/* Bytes in the driver's record, or -1. */
static LONG record_length(HANDLE control)
{
    static char buf[LOG_CAPACITY];
    DWORD got = 0;
    return DeviceIoControl(control, IOCTL_MACHINE_LOG_READ, NULL, 0, buf, sizeof buf, &got, NULL)
        ? (LONG)got : -1;
}

static int latency(const char *device)
{
    HANDLE control = CreateFileA(MACHINE_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    struct machine_iface_request req;
    char path[256];
    DWORD status = 0, problem, got, size = sizeof status;
    HKEY key = NULL;
    LONG before;
    int i, on, rc = 1;

    if (control == INVALID_HANDLE_VALUE) return 1;
    snprintf(path, sizeof path, ENUM_KEY "%s", device);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key)) goto done;
    RegQueryValueExA(key, "MachineNodeStatus", NULL, NULL, (BYTE *)&status, &size);
    on = !(status & DN_STARTED);
    status = on ? 0x0180200Au : 0x01802402u;
    problem = on ? 0 : 22;
    memset(&req, 0, sizeof req);
    req.enable = on;
    snprintf(path, sizeof path, "MACHINE\\BLUETOOTH\\%s", device);
    for (i = 0; path[i] && i < MACHINE_ID_CHARS - 1; i++) req.id[i] = (unsigned char)path[i];
    if ((before = record_length(control)) < 0) goto done;

    clock_start();
    RegSetValueExA(key, "MachineNodeStatus", 0, REG_DWORD, (const BYTE *)&status, sizeof status);
    RegSetValueExA(key, "MachineNodeProblem", 0, REG_DWORD, (const BYTE *)&problem, sizeof problem);
    if (!DeviceIoControl(control, IOCTL_MACHINE_INTERFACE, &req, sizeof req, NULL, 0, &got, NULL)) goto done;
    while (clock_ms() < WAIT_MS)
    {
        if (record_length(control) > before) { printf("ms=%.1f\n", clock_ms()); rc = 0; goto done; }
        Sleep(1);
    }
    printf("timeout\n");
done:
    if (key) RegCloseKey(key);
    CloseHandle(control);
    return rc;
}

int main(int argc, char **argv)
{
    if (argc >= 3 && !strcmp(argv[1], "startup")) return startup(argv[2]);
    if (argc >= 3 && !strcmp(argv[1], "latency")) return latency(argv[2]);
    if (argc >= 3 && !strcmp(argv[1], "idle")) { Sleep(strtoul(argv[2], NULL, 10) * 1000); return 0; }
    fprintf(stderr, "usage: bench_probe startup SERVICE | latency DEVICE | idle SECONDS\n");
    return 2;
}
