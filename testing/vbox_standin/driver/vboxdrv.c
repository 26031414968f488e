/* Test-only stand-in for VirtualBox's host driver: it creates the device, refuses
 * every request and counts its loads and unloads in the registry, so tests can
 * tell that the service really started and stopped. Never shipped. */
#include <ntddk.h>

static const WCHAR kDeviceName[] = L"\\Device\\VBoxDrv";
/* SYSTEM: neither the kernel nor a WoW64 test program sees redirection there. */
static const WCHAR kCounterKey[] = L"\\Registry\\Machine\\SYSTEM\\VBoxDrvStandin";

static void countUp(const WCHAR* valueName) {
    UNICODE_STRING keyName, name;
    OBJECT_ATTRIBUTES attrs;
    HANDLE key = NULL;
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR raw[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 8];
    } value;
    ULONG got = 0, count = 0;
    RtlInitUnicodeString(&keyName, kCounterKey);
    InitializeObjectAttributes(&attrs, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwCreateKey(&key, KEY_ALL_ACCESS, &attrs, 0, NULL, REG_OPTION_NON_VOLATILE, NULL))) return;
    RtlInitUnicodeString(&name, valueName);
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, &value, sizeof(value), &got)) &&
        value.info.Type == REG_DWORD && value.info.DataLength == 4)
        count = *(ULONG*)value.info.Data;
    ++count;
    ZwSetValueKey(key, &name, 0, REG_DWORD, &count, sizeof(count));
    ZwClose(key);
}

static NTSTATUS NTAPI onRequest(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

static VOID NTAPI onUnload(PDRIVER_OBJECT driver) {
    if (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
    countUp(L"Unloads");
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNICODE_STRING devName;
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status;
    int i;
    (void)registryPath;
    RtlInitUnicodeString(&devName, kDeviceName);
    status = IoCreateDevice(driver, 0, &devName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = onRequest;
    driver->DriverUnload = onUnload;
    countUp(L"Loads");
    return STATUS_SUCCESS;
}
