/* sechost.dll stand-in, loaded into one chosen exe through a per-exe DLL
 * override.  Wine drops device events addressed to a service handle; this
 * delivers them to the service's control handler as SERVICE_CONTROL_DEVICEEVENT,
 * one control at a time with the controls from the service manager, and
 * turns the user-defined control MACHINE_CONTROL_RESUME into the power
 * events of a resume, which Wine never sends.  Every
 * other export is forwarded (see the generated .def) to Wine's own DLL,
 * copied here as sechost_wine.dll. */
#include <windows.h>
#include <dbt.h>
#include "machine_ioctl.h"

#define REAL_DLL "sechost_wine.dll"
#define MAX_HANDLERS 16

/* What user32 hands to I_ScRegisterDeviceNotification on Wine 8. */
struct notification_details
{
    DWORD (CALLBACK *cb)(HANDLE handle, DWORD flags, DEV_BROADCAST_HDR *header);
    HANDLE handle;
    union
    {
        DEV_BROADCAST_HDR header;
        DEV_BROADCAST_DEVICEINTERFACE_W iface;
    } filter;
};

struct handler
{
    WCHAR name[256];
    LPHANDLER_FUNCTION_EX fn;
    void *context;
    SERVICE_STATUS_HANDLE status;
};

typedef SERVICE_STATUS_HANDLE (WINAPI *reg_w_fn)(const WCHAR *, LPHANDLER_FUNCTION_EX, void *);
typedef HDEVNOTIFY (WINAPI *reg_notify_fn)(struct notification_details *, void *, DWORD);

static CRITICAL_SECTION lock;          /* handlers[] */
static CRITICAL_SECTION control_lock;  /* one control in a handler at a time */
static struct handler handlers[MAX_HANDLERS];

static FARPROC real(const char *name)
{
    static HMODULE mod;
    if (!mod) mod = LoadLibraryA(REAL_DLL);
    return mod ? GetProcAddress(mod, name) : NULL;
}

static DWORD WINAPI handler_thunk(DWORD control, DWORD type, void *data, void *context)
{
    struct handler *h = context;
    DWORD ret;

    EnterCriticalSection(&control_lock);
    if (h->fn && control == MACHINE_CONTROL_RESUME)
    {
        ret = h->fn(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, NULL, h->context);
        h->fn(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND, NULL, h->context);
    }
    else
        ret = h->fn ? h->fn(control, type, data, h->context) : ERROR_CALL_NOT_IMPLEMENTED;
    LeaveCriticalSection(&control_lock);
    return ret;
}

SERVICE_STATUS_HANDLE WINAPI standin_RegisterServiceCtrlHandlerExW(const WCHAR *name,
                                                                   LPHANDLER_FUNCTION_EX fn, void *context)
{
    reg_w_fn reg = (reg_w_fn)real("RegisterServiceCtrlHandlerExW");
    struct handler *h = NULL;
    SERVICE_STATUS_HANDLE ret;
    int i;

    if (!reg) { SetLastError(ERROR_PROC_NOT_FOUND); return 0; }
    if (!name) return reg(name, fn, context);

    EnterCriticalSection(&lock);
    for (i = 0; i < MAX_HANDLERS && !h; i++)
        if (!lstrcmpiW(handlers[i].name, name)) h = &handlers[i];
    for (i = 0; i < MAX_HANDLERS && !h; i++)
        if (!handlers[i].name[0]) h = &handlers[i];
    if (h)
    {
        lstrcpynW(h->name, name, 256);
        h->fn = fn;
        h->context = context;
    }
    LeaveCriticalSection(&lock);

    if (!h) return reg(name, fn, context);
    ret = reg(name, handler_thunk, h);
    h->status = ret;
    return ret;
}

SERVICE_STATUS_HANDLE WINAPI standin_RegisterServiceCtrlHandlerExA(const char *name,
                                                                   LPHANDLER_FUNCTION_EX fn, void *context)
{
    WCHAR wname[256];

    if (!name) return standin_RegisterServiceCtrlHandlerExW(NULL, fn, context);
    if (!MultiByteToWideChar(CP_ACP, 0, name, -1, wname, 256))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return standin_RegisterServiceCtrlHandlerExW(wname, fn, context);
}

static DWORD CALLBACK deliver_device_event(HANDLE handle, DWORD event, DEV_BROADCAST_HDR *header)
{
    return handler_thunk(SERVICE_CONTROL_DEVICEEVENT, event, header, handle);
}

HDEVNOTIFY WINAPI standin_I_ScRegisterDeviceNotification(struct notification_details *details,
                                                         void *filter, DWORD flags)
{
    reg_notify_fn reg = (reg_notify_fn)real("I_ScRegisterDeviceNotification");
    struct notification_details mine;
    struct handler *h = NULL;
    int i;

    if (!reg) { SetLastError(ERROR_PROC_NOT_FOUND); return NULL; }
    if (!details) return reg(details, filter, flags);

    EnterCriticalSection(&lock);
    for (i = 0; i < MAX_HANDLERS && !h; i++)
        if (handlers[i].name[0] && handlers[i].status &&
            (HANDLE)handlers[i].status == details->handle)
            h = &handlers[i];
    LeaveCriticalSection(&lock);

    /* Window handles and unknown handles keep Wine's own delivery. */
    if (!h) return reg(details, filter, flags);

    mine = *details;
    mine.cb = deliver_device_event;
    mine.handle = h;
    return reg(&mine, filter, flags);
}

BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, void *reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        InitializeCriticalSection(&lock);
        InitializeCriticalSection(&control_lock);
        DisableThreadLibraryCalls(inst);
    }
    return TRUE;
}
