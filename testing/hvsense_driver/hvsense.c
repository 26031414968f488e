/* Test-only stand-in for the probe library's kernel driver. It answers the probe's
 * control request from a registry value and records what it was sent, so tests can
 * drive and inspect the whole service road. Never shipped. */
#include <ntddk.h>

#define HVSENSE_DEVICE_TYPE 40000
#define HVSENSE_IOCTL 0x9C402400u

static const WCHAR kDeviceName[] = L"\\Device\\HvSense";
static const WCHAR kLinkName[] = L"\\DosDevices\\HvSense";
/* SYSTEM: neither the kernel nor a WoW64 test program sees redirection there. */
static const WCHAR kStubKey[] = L"\\Registry\\Machine\\SYSTEM\\HvSenseStub";

static HANDLE openStubKey(void) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attrs;
    HANDLE key = NULL;
    RtlInitUnicodeString(&name, kStubKey);
    InitializeObjectAttributes(&attrs, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwCreateKey(&key, KEY_ALL_ACCESS, &attrs, 0, NULL, REG_OPTION_NON_VOLATILE, NULL)))
        return NULL;
    return key;
}

static ULONG byteAt(const UCHAR* buf, ULONG len, ULONG index) {
    return index < len ? buf[index] : 0xFFFF;
}

static UCHAR answerByte(HANDLE key) {
    UNICODE_STRING name;
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR raw[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 8];
    } value;
    ULONG got = 0;
    RtlInitUnicodeString(&name, L"Answer");
    if (key && NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, &value, sizeof(value), &got)) &&
        value.info.Type == REG_DWORD && value.info.DataLength == 4)
        return value.info.Data[0];
    return 0x05; /* valid, switched on */
}

/* LastRequest: four little-endian ULONGs: length, bytes 264, 272 and 520. */
static void recordRequest(HANDLE key, const UCHAR* buf, ULONG len) {
    UNICODE_STRING name;
    ULONG record[4];
    if (!key) return;
    record[0] = len;
    record[1] = byteAt(buf, len, 264);
    record[2] = byteAt(buf, len, 272);
    record[3] = byteAt(buf, len, 520);
    RtlInitUnicodeString(&name, L"LastRequest");
    ZwSetValueKey(key, &name, 0, REG_BINARY, record, sizeof(record));
}

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI onCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI onControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* buf = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
    HANDLE key;
    (void)device;
    if (code != HVSENSE_IOCTL || in < 1 || out < in || !buf)
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    key = openStubKey();
    recordRequest(key, buf, in);
    buf[0] = answerByte(key);
    if (key) ZwClose(key);
    return complete(irp, STATUS_SUCCESS, in);
}

static VOID NTAPI onUnload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, kLinkName);
    IoDeleteSymbolicLink(&link);
    if (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNICODE_STRING devName, link;
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status;
    (void)registryPath;
    RtlInitUnicodeString(&devName, kDeviceName);
    status = IoCreateDevice(driver, 0, &devName, HVSENSE_DEVICE_TYPE, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    RtlInitUnicodeString(&link, kLinkName);
    status = IoCreateSymbolicLink(&link, &devName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = onCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = onCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = onControl;
    driver->DriverUnload = onUnload;
    return STATUS_SUCCESS;
}
