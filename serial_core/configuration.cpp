// The three settings of a serial mouse device, read from the registry at
// every device start.
#include "serial_core/device_frame.h"

#define DEFAULT_NUMBER_OF_BUTTONS 2
#define DEFAULT_SAMPLE_RATE 40
#define QUERY_TABLE_ENTRIES 4

// The query routine of every setting: stores a REG_DWORD into the ULONG that
// EntryContext points at and ignores a value of any other type, so the
// target keeps the default it holds when the query starts. (A direct query
// would write a string value as a UNICODE_STRING, and a longer binary value
// by its length, over the 32-bit target.)
extern "C" PAGEABLE_ROUTINE NTSTATUS NTAPI StoreDwordSetting(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                                             ULONG ValueLength, PVOID Context,
                                                             PVOID EntryContext) {
    PAGED_CODE();
    if (ValueType == REG_DWORD && ValueLength == sizeof(ULONG)) {
        RtlCopyMemory(EntryContext, ValueData, sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

// One setting: the value's name, where it goes, and its default (which the
// target also holds when the query starts).
static PAGEABLE_ROUTINE VOID FillSettingEntry(PRTL_QUERY_REGISTRY_TABLE Entry, PCWSTR Name, PULONG Target,
                                              PULONG Default) {
    PAGED_CODE();
    Entry->QueryRoutine = StoreDwordSetting;
    Entry->Flags = 0;
    Entry->Name = const_cast<PWSTR>(Name);
    Entry->EntryContext = Target;
    Entry->DefaultType = REG_DWORD;
    Entry->DefaultData = Default;
    Entry->DefaultLength = sizeof(ULONG);
}

PAGEABLE_ROUTINE VOID ReadConfiguration(DeviceState* Device, HANDLE DeviceKey) {
    PAGED_CODE();
    ULONG buttons = DEFAULT_NUMBER_OF_BUTTONS;
    ULONG sampleRate = DEFAULT_SAMPLE_RATE;
    ULONG defaultButtons = DEFAULT_NUMBER_OF_BUTTONS;
    ULONG defaultSampleRate = DEFAULT_SAMPLE_RATE;
    ULONG defaultWaitEventMask = 0;
    ULONG waitEventMask = Device->WaitEventMask;
    NTSTATUS status = STATUS_SUCCESS;
    UNICODE_STRING parametersPath;
    parametersPath.Buffer = NULL;

    const SIZE_T tableSize = QUERY_TABLE_ENTRIES * sizeof(RTL_QUERY_REGISTRY_TABLE);
    PRTL_QUERY_REGISTRY_TABLE table =
        static_cast<PRTL_QUERY_REGISTRY_TABLE>(ExAllocatePoolWithTag(PagedPool, tableSize, SERIAL_MOUSE_POOL_TAG));
    if (table == NULL) {
        Device->WaitEventMask = 0;
        Device->Attributes.NumberOfButtons = DEFAULT_NUMBER_OF_BUTTONS;
        Device->Attributes.SampleRate = DEFAULT_SAMPLE_RATE;
        return;
    }

    // The service key's "Parameters" subkey, when driver entry kept the path.
    PUNICODE_STRING serviceKeyPath = static_cast<PUNICODE_STRING>(
        IoGetDriverObjectExtension(Device->Self->DriverObject, SERVICE_KEY_PATH_CLIENT_ID));
    if (serviceKeyPath != NULL && serviceKeyPath->Buffer != NULL) {
        static const WCHAR parametersSuffix[] = L"\\Parameters";
        parametersPath.Length = 0;
        parametersPath.MaximumLength = static_cast<USHORT>(serviceKeyPath->Length + sizeof(parametersSuffix));
        parametersPath.Buffer = static_cast<PWSTR>(
            ExAllocatePoolWithTag(PagedPool, parametersPath.MaximumLength, SERIAL_MOUSE_POOL_TAG));
        if (parametersPath.Buffer == NULL) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            RtlZeroMemory(parametersPath.Buffer, parametersPath.MaximumLength);
            RtlAppendUnicodeStringToString(&parametersPath, serviceKeyPath);
            RtlAppendUnicodeToString(&parametersPath, parametersSuffix);
            RtlZeroMemory(table, tableSize);
            FillSettingEntry(&table[0], L"NumberOfButtons", &buttons, &defaultButtons);
            FillSettingEntry(&table[1], L"SampleRate", &sampleRate, &defaultSampleRate);
            status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, parametersPath.Buffer,
                                            table, NULL, NULL);
        }
    }

    // The device's hardware key overrides; its defaults are what
    // "Parameters" left.
    if (DeviceKey != NULL) {
        defaultButtons = buttons;
        defaultSampleRate = sampleRate;
        waitEventMask = defaultWaitEventMask;
        RtlZeroMemory(table, tableSize);
        FillSettingEntry(&table[0], L"NumberOfButtons", &buttons, &defaultButtons);
        FillSettingEntry(&table[1], L"SampleRate", &sampleRate, &defaultSampleRate);
        FillSettingEntry(&table[2], L"WaitEventMask", &waitEventMask, &defaultWaitEventMask);
        status = RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(DeviceKey), table, NULL, NULL);
    }

    if (!NT_SUCCESS(status)) waitEventMask = 0;
    Device->WaitEventMask = waitEventMask;
    Device->Attributes.NumberOfButtons = static_cast<USHORT>(buttons);
    Device->Attributes.SampleRate = static_cast<USHORT>(sampleRate);

    if (parametersPath.Buffer != NULL) ExFreePool(parametersPath.Buffer);
    ExFreePool(table);
}
