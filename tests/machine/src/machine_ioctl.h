/* Private control codes shared by the test driver (machdrv.sys) and its
 * user-mode clients.  All of them go to \\.\MachineControl. */
#ifndef MACHINE_IOCTL_H
#define MACHINE_IOCTL_H

#define MACHINE_CONTROL_DEVICE   L"\\Device\\MachineControl"
#define MACHINE_CONTROL_LINK     L"\\DosDevices\\MachineControl"
#define MACHINE_CONTROL_PATH     "\\\\.\\MachineControl"
#define MACHINE_DRIVER_SERVICE   "MachineDrv"

#define MACHINE_CTL(n) (((0x22) << 16) | ((n) << 2) | 0 /* METHOD_BUFFERED, any access */)

/* in: NUL-terminated wide "{GUID}"; creates the adapter device and \DosDevices\{GUID} */
#define IOCTL_MACHINE_ADAPTER_ADD     MACHINE_CTL(0x900)
/* in: NUL-terminated wide "{GUID}"; removes the link, later opens fail */
#define IOCTL_MACHINE_ADAPTER_REMOVE  MACHINE_CTL(0x901)
/* out: the record of adapter requests, one text line per request; when
 * the record was full, a last line MACHINE_LOG_FULL and how many requests
 * it could not keep.  The output buffer takes MACHINE_LOG_READ_SIZE. */
#define IOCTL_MACHINE_LOG_READ        MACHINE_CTL(0x902)
#define MACHINE_LOG_SIZE              65536
#define MACHINE_LOG_READ_SIZE         (MACHINE_LOG_SIZE + 64)
#define MACHINE_LOG_FULL              "record full: requests not recorded="
#define IOCTL_MACHINE_LOG_RESET       MACHINE_CTL(0x903)
/* in: ULONG n; the next n adapter requests fail */
#define IOCTL_MACHINE_FAIL_NEXT       MACHINE_CTL(0x904)
/* in: struct machine_iface_request; turns the device's interface on or off,
 * which broadcasts an interface arrival or removal */
#define IOCTL_MACHINE_INTERFACE       MACHINE_CTL(0x905)

/* in: ULONG 1: adapter requests are held, pending, until cancelled or
 * released; 0: every held request is released (completed with success) and
 * requests complete at once again */
#define IOCTL_MACHINE_HOLD            MACHINE_CTL(0x906)
#define MACHINE_HELD_MAX              8

/* A user-defined service control that the sechost stand-in turns into the
 * power events of a resume: PBT_APMRESUMEAUTOMATIC, then PBT_APMRESUMESUSPEND. */
#define MACHINE_CONTROL_RESUME        200

/* The request the product sends to the Wi-Fi adapter. */
#define IOCTL_ADAPTER_SET             0x00170002

#define MACHINE_ID_CHARS 200

struct machine_iface_request
{
    unsigned long enable;                 /* 1 arrival, 0 removal */
    unsigned short id[MACHINE_ID_CHARS];  /* device instance ID, e.g. MACHINE\BLUETOOTH\BT1 */
};

#endif
