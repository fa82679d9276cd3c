// Writing settings: the settings write request stores one setting, relayed names in the machine's
// settings key and everything else, including what that key would not take, as a device parameter.
#include "settings/settings.h"

static const SettingWriteHead* HeadOf(PVIDEO_REQUEST_PACKET packet) {
    return static_cast<const SettingWriteHead*>(packet->InputBuffer);
}

constexpr ULONG HeadBytes = sizeof(SettingWriteHead);

static const UCHAR* DataOf(PVIDEO_REQUEST_PACKET packet) {
    return static_cast<const UCHAR*>(packet->InputBuffer) + HeadBytes;
}

ULONG ParseDecimal(const CHAR* text) {
    while (*text == ' ' || *text == '\t' || *text == '\n') ++text;
    ULONG value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + static_cast<ULONG>(*text - '0');
    return value;
}

// The value's data into the open settings key; the key open's success when the type is not stored.
static NTSTATUS SetRelayedValue(RelayWork* work, HANDLE key, PVIDEO_REQUEST_PACKET packet) {
    const SettingWriteHead* head = HeadOf(packet);
    const CHAR* data = reinterpret_cast<const CHAR*>(DataOf(packet));
    switch (head->type) {
    case REG_SZ: {
        if (BoundedLength(data, packet->InputBufferLength - HeadBytes) > MaxConvertibleLength) {
            return STATUS_UNSUCCESSFUL;
        }
        RtlInitAnsiString(&work->ansiText, data);
        NTSTATUS status = RtlAnsiStringToUnicodeString(&work->text, &work->ansiText, TRUE);
        if (!NT_SUCCESS(status)) return status;
        status = ZwSetValueKey(key, &work->valueName, 0, REG_SZ, work->text.Buffer,
                               work->text.Length + static_cast<ULONG>(sizeof(WCHAR)));
        RtlFreeUnicodeString(&work->text);
        return status;
    }
    case REG_BINARY:
    case REG_DWORD:
        return ZwSetValueKey(key, &work->valueName, 0, head->type, const_cast<CHAR*>(data), head->size);
    default:
        return STATUS_SUCCESS;
    }
}

VP_STATUS WriteRelayedSetting(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    const SettingWriteHead* head = HeadOf(packet);
    if (!IsRelayedName(head->name)) return ERROR_DEV_NOT_EXIST;

    auto* work = static_cast<RelayWork*>(AllocateWorkArea(adapter, sizeof(RelayWork)));
    if (work == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    BuildKeyPath(SettingClass::Relayed, MachineSettingsKeyPath, work->keyPath);
    HANDLE key = nullptr;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (OpenKey(work, KEY_ALL_ACCESS, &key)) {
        if (ConvertValueName(work, head->name)) {
            status = SetRelayedValue(work, key, packet);
            RtlFreeUnicodeString(&work->valueName);
        }
        ZwClose(key);
    }
    FreeWorkArea(adapter, work);
    packet->StatusBlock->Information = 0;
    return NT_SUCCESS(status) ? NO_ERROR : ERROR_DEV_NOT_EXIST;
}

static VP_STATUS WriteNumberParameter(AdapterState* adapter, PWSTR name, ULONG number) {
    return VideoPortSetRegistryParameters(adapter, name, &number, sizeof(number));
}

static VP_STATUS WriteDeviceParameter(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    const SettingWriteHead* head = HeadOf(packet);
    WCHAR wideName[NameUnits];
    WidenName(head->name, wideName);
    PVOID data = const_cast<UCHAR*>(DataOf(packet));
    switch (head->type) {
    case REG_SZ:
        return WriteNumberParameter(adapter, wideName, ParseDecimal(static_cast<const CHAR*>(data)));
    case REG_BINARY:
    case REG_DWORD:
        return VideoPortSetRegistryParameters(adapter, wideName, data, head->size);
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

// The record is checked against the input before any of it is read: the head, `size` bytes of
// data, the text's zero byte, and the name's zero byte within its field.
static VP_STATUS CheckWriteRecord(PVIDEO_REQUEST_PACKET packet) {
    ULONG inputLength = packet->InputBufferLength;
    if (inputLength < HeadBytes) return ERROR_INSUFFICIENT_BUFFER;
    const SettingWriteHead* head = HeadOf(packet);
    ULONG dataLength = inputLength - HeadBytes;
    if (head->size > dataLength) return ERROR_INSUFFICIENT_BUFFER;
    if (head->type == REG_SZ && BoundedLength(reinterpret_cast<const CHAR*>(DataOf(packet)), dataLength) == dataLength) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (BoundedLength(head->name, SettingNameBytes) == SettingNameBytes) return ERROR_INVALID_PARAMETER;
    return NO_ERROR;
}

VP_STATUS WriteSetting(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    packet->StatusBlock->Information = 0;
    VP_STATUS status = CheckWriteRecord(packet);
    if (status != NO_ERROR) return status;

    SettingClass nameClass = ClassifySettingName(HeadOf(packet)->name, packet->InputBufferLength);
    if (nameClass == SettingClass::OpenGlDriver || nameClass == SettingClass::Relayed) {
        status = WriteRelayedSetting(adapter, packet);
        if (status == NO_ERROR || status == ERROR_NOT_ENOUGH_MEMORY) return status;
    }
    return WriteDeviceParameter(adapter, packet);
}
