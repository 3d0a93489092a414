/* machdrv.sys: test equipment for the simulated machine.
 *
 * - Stands in for a Wi-Fi adapter's driver: one device per adapter, reachable
 *   as \\.\{NetCfgInstanceId}.  Every request it gets is recorded as a text
 *   line; a test can read and reset the record, make the next N requests
 *   fail, and have requests held until they are cancelled or released.  A full record keeps its lines and counts the requests it could
 *   not keep; reading it then ends with a line saying so.
 * - Raises device-interface arrivals and removals for test devices, so that
 *   services registered for device events hear of them.
 *
 * Everything is driven through \\.\MachineControl (see machine_ioctl.h).
 */
#include <ntddk.h>
#include "machine_ioctl.h"

#define MAX_ADAPTERS 32
#define MAX_PDOS     64

enum dev_kind { KIND_CONTROL = 1, KIND_ADAPTER, KIND_PDO };

struct dev_ext
{
    enum dev_kind kind;
    BOOLEAN active;                      /* adapter: link present */
    WCHAR name[MACHINE_ID_CHARS];        /* adapter: {GUID}; pdo: instance ID */
    UNICODE_STRING iface_link;           /* pdo: registered interface */
    BOOLEAN iface_on;
};

/* Our own interface class; services registered for all interface classes get
 * its events like any other. */
static const GUID machine_iface_guid =
    { 0x6d2f4a3c, 0x1b7e, 0x4e59, { 0x9a, 0x0d, 0x5c, 0x8e, 0x2b, 0x41, 0xf7, 0xa1 } };

static DRIVER_OBJECT *the_driver;
static DEVICE_OBJECT *adapters[MAX_ADAPTERS];
static DEVICE_OBJECT *pdos[MAX_PDOS];
static KMUTEX table_lock;               /* adapters[], pdos[] */
static KSPIN_LOCK log_lock;             /* log_buf, log_len, log_dropped, fail_next */
static char log_buf[MACHINE_LOG_SIZE];
static ULONG log_len;
static ULONG log_dropped;
static ULONG fail_next;

/* Requests held pending (hold mode): the IRP and its line, for the record
 * when it is cancelled or released.  Under log_lock. */
static BOOLEAN hold_mode;
static struct held { IRP *irp; const WCHAR *dev; ULONG code, value, in_len, out_len; } held[MACHINE_HELD_MAX];

static ULONG wlen(const WCHAR *s)
{
    ULONG n = 0;
    while (s[n]) n++;
    return n;
}

static WCHAR wupper(WCHAR c)
{
    return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
}

static BOOLEAN wsame(const WCHAR *a, const WCHAR *b)
{
    while (*a && wupper(*a) == wupper(*b)) { a++; b++; }
    return wupper(*a) == wupper(*b);
}

/* Copies a wide string out of a request buffer; FALSE if it is not
 * NUL-terminated within len bytes or too long. */
static BOOLEAN take_string(WCHAR *dst, const void *buf, ULONG len)
{
    const WCHAR *src = buf;
    ULONG i, n = len / sizeof(WCHAR);
    if (!buf) return FALSE;
    for (i = 0; i < n && i < MACHINE_ID_CHARS; i++)
    {
        dst[i] = src[i];
        if (!src[i]) return i > 0;
    }
    return FALSE;
}

/* --- record ------------------------------------------------------------- */

struct line { char text[320]; ULONG len; };

static void put_str(struct line *l, const char *s)
{
    while (*s && l->len < sizeof(l->text) - 2) l->text[l->len++] = *s++;
}

static void put_wstr(struct line *l, const WCHAR *s)
{
    while (*s && l->len < sizeof(l->text) - 2) l->text[l->len++] = (char)*s++;
}

static void put_hex(struct line *l, ULONG v)
{
    static const char digits[] = "0123456789ABCDEF";
    int i;
    put_str(l, "0x");
    for (i = 28; i >= 0; i -= 4)
        if (l->len < sizeof(l->text) - 2) l->text[l->len++] = digits[(v >> i) & 0xf];
}

static void put_dec(struct line *l, ULONG v)
{
    char tmp[12];
    int n = 0;
    do { tmp[n++] = (char)('0' + v % 10); v /= 10; } while (v);
    while (n && l->len < sizeof(l->text) - 2) l->text[l->len++] = tmp[--n];
}

/* One line of the record; log_lock held. */
static void record_line(const WCHAR *dev, ULONG ioctl, const ULONG *code, const ULONG *value,
                        ULONG in_len, ULONG out_len, const char *result)
{
    struct line l;

    l.len = 0;
    put_str(&l, "code=");
    if (code) put_hex(&l, *code); else put_str(&l, "-");
    put_str(&l, " value=");
    if (value) put_dec(&l, *value); else put_str(&l, "-");
    put_str(&l, " in="); put_dec(&l, in_len);
    put_str(&l, " out="); put_dec(&l, out_len);
    put_str(&l, " ioctl="); put_hex(&l, ioctl);
    put_str(&l, " dev="); put_wstr(&l, dev);
    put_str(&l, " result="); put_str(&l, result);
    l.text[l.len++] = '\n';
    /* A full record drops new lines rather than old ones: tests read from the start. */
    if (log_len + l.len <= MACHINE_LOG_SIZE)
    {
        RtlCopyMemory(log_buf + log_len, l.text, l.len);
        log_len += l.len;
    }
    else log_dropped++;
}

/* Records one adapter request and decides whether it is to fail. */
static BOOLEAN record_request(const WCHAR *dev, ULONG ioctl, const ULONG *code, const ULONG *value,
                              ULONG in_len, ULONG out_len, BOOLEAN supported)
{
    KIRQL irql;
    BOOLEAN fail = FALSE;

    KeAcquireSpinLock(&log_lock, &irql);
    if (supported && fail_next)
    {
        fail_next--;
        fail = TRUE;
    }
    record_line(dev, ioctl, code, value, in_len, out_len,
                supported ? (fail ? "fail" : "ok") : "unsupported");
    KeReleaseSpinLock(&log_lock, irql);
    return fail;
}

/* Takes a held request out of the table and records how it ended; FALSE
 * when it is not there (already released or cancelled). */
static BOOLEAN unhold(IRP *irp, const char *result)
{
    KIRQL irql;
    BOOLEAN found = FALSE;
    ULONG i;

    KeAcquireSpinLock(&log_lock, &irql);
    for (i = 0; i < MACHINE_HELD_MAX && !found; i++)
    {
        struct held *h = &held[i];
        if (h->irp != irp) continue;
        record_line(h->dev, IOCTL_ADAPTER_SET, &h->code, &h->value, h->in_len, h->out_len, result);
        h->irp = NULL;
        found = TRUE;
    }
    KeReleaseSpinLock(&log_lock, irql);
    return found;
}

static void WINAPI cancel_held(DEVICE_OBJECT *dev, IRP *irp)
{
    (void)dev;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (!unhold(irp, "cancelled")) return;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* Holds the request pending; STATUS_PENDING, or an error when the table is full. */
static NTSTATUS hold(IRP *irp, const WCHAR *dev, const ULONG *code, const ULONG *value, ULONG in_len,
                     ULONG out_len)
{
    KIRQL irql;
    ULONG i;

    KeAcquireSpinLock(&log_lock, &irql);
    for (i = 0; i < MACHINE_HELD_MAX && held[i].irp; i++) ;
    if (i < MACHINE_HELD_MAX)
    {
        struct held h = { irp, dev, code ? *code : 0, value ? *value : 0, in_len, out_len };
        held[i] = h;
        record_line(dev, IOCTL_ADAPTER_SET, code, value, in_len, out_len, "held");
    }
    KeReleaseSpinLock(&log_lock, irql);
    if (i == MACHINE_HELD_MAX) return STATUS_INSUFFICIENT_RESOURCES;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, cancel_held);
    /* Cancelled before the routine was set: end it here. */
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) && unhold(irp, "cancelled"))
    {
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return STATUS_PENDING;
}

/* Completes every held request with success, as a driver answering late. */
static void release_held(void)
{
    ULONG i;
    for (i = 0; i < MACHINE_HELD_MAX; i++)
    {
        IRP *irp = held[i].irp;
        if (!irp || !IoSetCancelRoutine(irp, NULL)) continue;  /* being cancelled */
        if (!unhold(irp, "released")) continue;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = sizeof(ULONG);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

/* --- adapters ----------------------------------------------------------- */

static NTSTATUS make_link(const WCHAR *guid, DEVICE_OBJECT *dev, BOOLEAN create)
{
    WCHAR link[MACHINE_ID_CHARS + 16] = L"\\DosDevices\\";
    WCHAR target[64] = L"\\Device\\MachineNet00";
    UNICODE_STRING ulink, utarget;
    ULONG i, n = wlen(link);

    for (i = 0; guid[i] && n < MACHINE_ID_CHARS + 14; i++) link[n++] = guid[i];
    link[n] = 0;
    RtlInitUnicodeString(&ulink, link);
    if (!create) return IoDeleteSymbolicLink(&ulink);

    for (i = 0; i < MAX_ADAPTERS && adapters[i] != dev; i++) ;
    target[18] = (WCHAR)('0' + i / 10);
    target[19] = (WCHAR)('0' + i % 10);
    RtlInitUnicodeString(&utarget, target);
    return IoCreateSymbolicLink(&ulink, &utarget);
}

static NTSTATUS adapter_add(const WCHAR *guid)
{
    WCHAR name[32] = L"\\Device\\MachineNet00";
    UNICODE_STRING uname;
    DEVICE_OBJECT *dev;
    struct dev_ext *ext;
    NTSTATUS status;
    ULONG i, free_slot = MAX_ADAPTERS;

    /* Device objects live as long as the driver: a removed adapter keeps its
     * slot, so a handle still open on it never points at freed memory. */
    for (i = 0; i < MAX_ADAPTERS; i++)
    {
        if (!adapters[i]) { if (free_slot == MAX_ADAPTERS) free_slot = i; continue; }
        ext = adapters[i]->DeviceExtension;
        if (wsame(ext->name, guid))
        {
            if (ext->active) return STATUS_SUCCESS;
            status = make_link(guid, adapters[i], TRUE);
            if (!status) ext->active = TRUE;
            return status;
        }
    }
    if (free_slot == MAX_ADAPTERS) return STATUS_INSUFFICIENT_RESOURCES;

    name[18] = (WCHAR)('0' + free_slot / 10);
    name[19] = (WCHAR)('0' + free_slot % 10);
    RtlInitUnicodeString(&uname, name);
    status = IoCreateDevice(the_driver, sizeof(struct dev_ext), &uname, FILE_DEVICE_PHYSICAL_NETCARD,
                            0, FALSE, &dev);
    if (status) return status;
    ext = dev->DeviceExtension;
    RtlZeroMemory(ext, sizeof(*ext));
    ext->kind = KIND_ADAPTER;
    for (i = 0; guid[i] && i < MACHINE_ID_CHARS - 1; i++) ext->name[i] = guid[i];
    adapters[free_slot] = dev;
    dev->Flags &= ~DO_DEVICE_INITIALIZING;

    status = make_link(guid, dev, TRUE);
    if (!status) ext->active = TRUE;
    return status;
}

static NTSTATUS adapter_remove(const WCHAR *guid)
{
    ULONG i;
    for (i = 0; i < MAX_ADAPTERS; i++)
    {
        struct dev_ext *ext;
        if (!adapters[i]) continue;
        ext = adapters[i]->DeviceExtension;
        if (!wsame(ext->name, guid) || !ext->active) continue;
        ext->active = FALSE;
        return make_link(guid, adapters[i], FALSE);
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

static NTSTATUS adapter_ioctl(DEVICE_OBJECT *dev, IRP *irp)
{
    IO_STACK_LOCATION *sp = IoGetCurrentIrpStackLocation(irp);
    struct dev_ext *ext = dev->DeviceExtension;
    ULONG ioctl = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_len = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_len = sp->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG *code = NULL, *value = NULL;
    BOOLEAN supported = (ioctl == IOCTL_ADAPTER_SET);

    if (!ext->active) return STATUS_NO_SUCH_DEVICE;

    if (supported)
    {
        /* METHOD_OUT_DIRECT: the code comes in the system buffer, the value
         * in the caller's output buffer, described by the MDL. */
        if (in_len >= sizeof(ULONG) && irp->AssociatedIrp.SystemBuffer)
            code = irp->AssociatedIrp.SystemBuffer;
        if (out_len >= sizeof(ULONG) && irp->MdlAddress)
            value = MmGetMdlVirtualAddress(irp->MdlAddress);
    }
    else if (in_len >= sizeof(ULONG) && irp->AssociatedIrp.SystemBuffer && (ioctl & 3) != 3)
        code = irp->AssociatedIrp.SystemBuffer;

    if (!supported)
    {
        record_request(ext->name, ioctl, code, NULL, in_len, out_len, FALSE);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (hold_mode) return hold(irp, ext->name, code, value, in_len, out_len);
    if (record_request(ext->name, ioctl, code, value, in_len, out_len, TRUE))
        return STATUS_UNSUCCESSFUL;
    irp->IoStatus.Information = out_len >= sizeof(ULONG) ? sizeof(ULONG) : 0;
    return STATUS_SUCCESS;
}

/* --- device interfaces -------------------------------------------------- */

static NTSTATUS pdo_for(const WCHAR *id, BOOLEAN create, DEVICE_OBJECT **out)
{
    DEVICE_OBJECT *dev;
    struct dev_ext *ext;
    NTSTATUS status;
    ULONG i, free_slot = MAX_PDOS;

    for (i = 0; i < MAX_PDOS; i++)
    {
        if (!pdos[i]) { if (free_slot == MAX_PDOS) free_slot = i; continue; }
        ext = pdos[i]->DeviceExtension;
        if (wsame(ext->name, id)) { *out = pdos[i]; return STATUS_SUCCESS; }
    }
    if (!create) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (free_slot == MAX_PDOS) return STATUS_INSUFFICIENT_RESOURCES;

    /* Interface links point at the device's name, so it needs one. */
    {
        WCHAR name[32] = L"\\Device\\MachinePdo00";
        UNICODE_STRING uname;
        name[18] = (WCHAR)('0' + free_slot / 10);
        name[19] = (WCHAR)('0' + free_slot % 10);
        RtlInitUnicodeString(&uname, name);
        status = IoCreateDevice(the_driver, sizeof(struct dev_ext), &uname, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev);
    }
    if (status) return status;
    ext = dev->DeviceExtension;
    RtlZeroMemory(ext, sizeof(*ext));
    ext->kind = KIND_PDO;
    for (i = 0; id[i] && i < MACHINE_ID_CHARS - 1; i++) ext->name[i] = id[i];
    dev->Flags |= DO_BUS_ENUMERATED_DEVICE;
    dev->Flags &= ~DO_DEVICE_INITIALIZING;
    pdos[free_slot] = dev;
    *out = dev;
    return STATUS_SUCCESS;
}

/* The device's Enum key must exist before this runs: registering an
 * interface for an unknown instance ID makes the system create one. */
static NTSTATUS set_interface(const WCHAR *id, BOOLEAN enable)
{
    DEVICE_OBJECT *pdo;
    struct dev_ext *ext;
    NTSTATUS status;

    /* Nothing to switch off on a device that was never on. */
    if ((status = pdo_for(id, enable, &pdo))) return enable ? status : STATUS_SUCCESS;
    ext = pdo->DeviceExtension;
    if (enable == ext->iface_on) return STATUS_SUCCESS;

    if (enable)
    {
        /* Registered anew each time: removing a device deletes its interface keys. */
        UNICODE_STRING link;
        status = IoRegisterDeviceInterface(pdo, &machine_iface_guid, NULL, &link);
        if (status) return status;
        if (ext->iface_link.Buffer) RtlFreeUnicodeString(&ext->iface_link);
        ext->iface_link = link;
    }
    status = IoSetDeviceInterfaceState(&ext->iface_link, enable);
    if (status == STATUS_OBJECT_NAME_EXISTS || status == STATUS_OBJECT_NAME_NOT_FOUND) status = STATUS_SUCCESS;
    if (!status) ext->iface_on = enable;
    return status;
}

static NTSTATUS pdo_pnp(DEVICE_OBJECT *dev, IRP *irp)
{
    IO_STACK_LOCATION *sp = IoGetCurrentIrpStackLocation(irp);
    struct dev_ext *ext = dev->DeviceExtension;
    NTSTATUS status = irp->IoStatus.Status;

    if (ext->kind == KIND_PDO && sp->MinorFunction == IRP_MN_QUERY_ID)
    {
        /* Instance ID "A\B\C": the device ID is "A\B", the instance "C". */
        ULONG n = wlen(ext->name), cut = n, start, len, i;
        WCHAR *id;
        while (cut && ext->name[cut - 1] != '\\') cut--;
        switch (sp->Parameters.QueryId.IdType)
        {
        case BusQueryDeviceID:   start = 0;   len = cut ? cut - 1 : n; break;
        case BusQueryInstanceID: start = cut; len = n - cut;           break;
        default: goto done;
        }
        id = ExAllocatePoolWithTag(NonPagedPool, (len + 1) * sizeof(WCHAR), 0x6863614d);
        if (!id) status = STATUS_NO_MEMORY;
        else
        {
            for (i = 0; i < len; i++) id[i] = ext->name[start + i];
            id[len] = 0;
            irp->IoStatus.Information = (ULONG_PTR)id;
            status = STATUS_SUCCESS;
        }
    }
done:
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* --- dispatch ----------------------------------------------------------- */

static NTSTATUS control_ioctl(IRP *irp)
{
    IO_STACK_LOCATION *sp = IoGetCurrentIrpStackLocation(irp);
    ULONG in_len = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_len = sp->Parameters.DeviceIoControl.OutputBufferLength;
    void *buf = irp->AssociatedIrp.SystemBuffer;
    WCHAR name[MACHINE_ID_CHARS];
    NTSTATUS status;
    KIRQL irql;

    switch (sp->Parameters.DeviceIoControl.IoControlCode)
    {
    case IOCTL_MACHINE_ADAPTER_ADD:
    case IOCTL_MACHINE_ADAPTER_REMOVE:
        if (!take_string(name, buf, in_len)) return STATUS_INVALID_PARAMETER;
        KeWaitForSingleObject(&table_lock, Executive, KernelMode, FALSE, NULL);
        if (sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_MACHINE_ADAPTER_ADD)
            status = adapter_add(name);
        else
            status = adapter_remove(name);
        KeReleaseMutex(&table_lock, FALSE);
        return status;

    case IOCTL_MACHINE_LOG_READ:
    {
        struct line full;
        full.len = 0;
        KeAcquireSpinLock(&log_lock, &irql);
        if (log_dropped)
        {
            put_str(&full, MACHINE_LOG_FULL);
            put_dec(&full, log_dropped);
            full.text[full.len++] = '\n';
        }
        if (out_len < log_len + full.len) status = STATUS_BUFFER_TOO_SMALL;
        else
        {
            RtlCopyMemory(buf, log_buf, log_len);
            RtlCopyMemory((char *)buf + log_len, full.text, full.len);
            irp->IoStatus.Information = log_len + full.len;
            status = STATUS_SUCCESS;
        }
        KeReleaseSpinLock(&log_lock, irql);
        return status;
    }

    case IOCTL_MACHINE_LOG_RESET:
        hold_mode = FALSE;
        release_held();
        KeAcquireSpinLock(&log_lock, &irql);
        log_len = 0;
        log_dropped = 0;
        fail_next = 0;
        KeReleaseSpinLock(&log_lock, irql);
        return STATUS_SUCCESS;

    case IOCTL_MACHINE_FAIL_NEXT:
        if (in_len < sizeof(ULONG) || !buf) return STATUS_INVALID_PARAMETER;
        KeAcquireSpinLock(&log_lock, &irql);
        fail_next = *(ULONG *)buf;
        KeReleaseSpinLock(&log_lock, irql);
        return STATUS_SUCCESS;

    case IOCTL_MACHINE_HOLD:
        if (in_len < sizeof(ULONG) || !buf) return STATUS_INVALID_PARAMETER;
        hold_mode = *(ULONG *)buf != 0;
        if (!hold_mode) release_held();
        return STATUS_SUCCESS;

    case IOCTL_MACHINE_INTERFACE:
    {
        struct machine_iface_request *req = buf;
        if (in_len < sizeof(*req) || !take_string(name, req->id, sizeof(req->id)))
            return STATUS_INVALID_PARAMETER;
        KeWaitForSingleObject(&table_lock, Executive, KernelMode, FALSE, NULL);
        status = set_interface(name, req->enable != 0);
        KeReleaseMutex(&table_lock, FALSE);
        return status;
    }
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

static NTSTATUS WINAPI dispatch_ioctl(DEVICE_OBJECT *dev, IRP *irp)
{
    struct dev_ext *ext = dev->DeviceExtension;
    NTSTATUS status;

    irp->IoStatus.Information = 0;
    if (ext->kind == KIND_CONTROL) status = control_ioctl(irp);
    else if (ext->kind == KIND_ADAPTER) status = adapter_ioctl(dev, irp);
    else status = STATUS_INVALID_DEVICE_REQUEST;
    if (status == STATUS_PENDING) return status;  /* held: completed later */

    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS WINAPI dispatch_create_close(DEVICE_OBJECT *dev, IRP *irp)
{
    struct dev_ext *ext = dev->DeviceExtension;
    NTSTATUS status = STATUS_SUCCESS;

    if (ext->kind == KIND_ADAPTER && !ext->active
        && IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE)
        status = STATUS_NO_SUCH_DEVICE;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS WINAPI dispatch_pnp(DEVICE_OBJECT *dev, IRP *irp)
{
    return pdo_pnp(dev, irp);
}

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *path)
{
    UNICODE_STRING name, link;
    DEVICE_OBJECT *ctl;
    struct dev_ext *ext;
    NTSTATUS status;

    (void)path;
    the_driver = driver;
    KeInitializeMutex(&table_lock, 0);
    KeInitializeSpinLock(&log_lock);

    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_ioctl;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;

    RtlInitUnicodeString(&name, MACHINE_CONTROL_DEVICE);
    status = IoCreateDevice(driver, sizeof(struct dev_ext), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &ctl);
    if (status) return status;
    ext = ctl->DeviceExtension;
    RtlZeroMemory(ext, sizeof(*ext));
    ext->kind = KIND_CONTROL;
    ctl->Flags &= ~DO_DEVICE_INITIALIZING;

    RtlInitUnicodeString(&link, MACHINE_CONTROL_LINK);
    status = IoCreateSymbolicLink(&link, &name);
    if (status) IoDeleteDevice(ctl);
    return status;
}
