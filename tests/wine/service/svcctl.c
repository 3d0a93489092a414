/* Test client for the service manager, for what Wine's sc does not offer:
 *   svcctl query NAME          -> "state=S accepted=0xA type=0xT exit=E"
 *   svcctl control NAME CODE   -> "ok state=S accepted=0xA" or "error=N"
 * Exit code 0 when the call succeeded, 1 when it failed, 2 on bad usage. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static DWORD AccessFor(DWORD code) {
    if (code == SERVICE_CONTROL_STOP) return SERVICE_STOP;
    if (code == SERVICE_CONTROL_INTERROGATE) return SERVICE_INTERROGATE;
    if (code >= 128) return SERVICE_USER_DEFINED_CONTROL;
    return SERVICE_PAUSE_CONTINUE;
}

static void Print(const SERVICE_STATUS* s) {
    printf("state=%lu accepted=0x%lx type=0x%lx exit=%lu\n", s->dwCurrentState,
           s->dwControlsAccepted, s->dwServiceType, s->dwWin32ExitCode);
}

int main(int argc, char** argv) {
    SC_HANDLE manager = NULL, service = NULL;
    SERVICE_STATUS status;
    DWORD code = 0, access = SERVICE_QUERY_STATUS;
    int query, rc = 1;

    if (argc < 3) return 2;
    query = strcmp(argv[1], "query") == 0;
    if (!query && (strcmp(argv[1], "control") != 0 || argc < 4)) return 2;
    if (!query) {
        code = strtoul(argv[3], NULL, 0);
        access = AccessFor(code);
    }
    memset(&status, 0, sizeof status);
    manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) {
        printf("error=%lu\n", GetLastError());
        goto done;
    }
    service = OpenServiceA(manager, argv[2], access);
    if (service == NULL) {
        printf("error=%lu\n", GetLastError());
        goto done;
    }
    if (query ? QueryServiceStatus(service, &status) : ControlService(service, code, &status)) {
        Print(&status);
        rc = 0;
    } else {
        printf("error=%lu\n", GetLastError());
    }
done:
    fflush(stdout);
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    return rc;
}
