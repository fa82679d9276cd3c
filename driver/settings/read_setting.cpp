// Reading settings: the settings read request answers with one setting as a 1032-byte reply,
// taken from the relay's registry keys for relayed names and the OpenGL driver name, and from the
// adapter's device parameters for every other name and whatever the keys could not supply.
#include "settings/settings.h"

// The reply record in the output buffer, which the request checks can hold it whole: its data
// has room for SettingDataBytes.
static SettingReply* ReplyOf(PVIDEO_REQUEST_PACKET packet) { return static_cast<SettingReply*>(packet->OutputBuffer); }

// The reply is answered whole (Information is its full size, which callers rely on): the data's room
// past the value holds zeros, never the bytes the system buffer held (pool memory, others' data).
// `size` is at most SettingDataBytes.
static VP_STATUS WriteReply(PVIDEO_REQUEST_PACKET packet, ULONG type, const void* data, ULONG size) {
    SettingReply* reply = ReplyOf(packet);
    VideoPortMoveMemory(reply->data, const_cast<PVOID>(data), size);
    VideoPortZeroMemory(reply->data + size, SettingDataBytes - size);
    reply->size = size;
    reply->type = type;
    packet->StatusBlock->Information = sizeof(SettingReply);
    return NO_ERROR;
}

// --- The relay's registry keys ------------------------------------------------------------------

static ULONG UnitsBeforeZero(const WCHAR* text, ULONG units) {
    ULONG count = 0;
    while (count < units && text[count] != 0) ++count;
    return count;
}

// A REG_SZ value, as 8-bit text with its zero byte (the converted copy ends in one).
static VP_STATUS ReplyWithText(RelayWork* work, PVIDEO_REQUEST_PACKET packet, WCHAR* data, ULONG units) {
    work->text.Buffer = data;
    work->text.Length = static_cast<USHORT>(units * sizeof(WCHAR));
    work->text.MaximumLength = work->text.Length;
    // The text is at most 514 units, so only a lack of pool memory fails the conversion: the request
    // fails rather than answering with a device parameter instead of the value that was found.
    if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&work->ansiText, &work->text, TRUE))) return ERROR_NOT_ENOUGH_MEMORY;

    ULONG size = work->ansiText.Length + 1u;
    VP_STATUS status = size > SettingDataBytes ? ERROR_INSUFFICIENT_BUFFER
                                                : WriteReply(packet, REG_SZ, work->ansiText.Buffer, size);
    RtlFreeAnsiString(&work->ansiText);
    return status;
}

// The value a key held, by its type. The OpenGL driver's file must exist for its name to count.
static VP_STATUS ReplyWithFoundValue(AdapterState* adapter, RelayWork* work, PVIDEO_REQUEST_PACKET packet,
                                     SettingClass nameClass, ULONG sizeOnEntry) {
    auto* value = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(work->valueInformation);
    ULONG length = value->DataLength;
    ULONG room = sizeof(work->valueInformation) - FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    if (length > room) length = room;

    switch (value->Type) {
    case REG_SZ: {
        auto* text = reinterpret_cast<WCHAR*>(value->Data);
        ULONG units = UnitsBeforeZero(text, length / 2);   // whole UTF-16 units
        if (nameClass == SettingClass::OpenGlDriver) {
            NTSTATUS file = DriverFileExists(adapter, text, units);
            // Without pool memory nothing can be checked: the request fails rather than reading as
            // "no file" and answering with a device parameter instead.
            if (file == STATUS_NO_MEMORY) return ERROR_NOT_ENOUGH_MEMORY;
            if (!NT_SUCCESS(file)) return ERROR_DEV_NOT_EXIST;
        }
        return ReplyWithText(work, packet, text, units);
    }
    case REG_BINARY:
    case REG_DWORD:
        // The reply's data holds 1024 bytes and only the reply is returned: a longer value is never
        // answered in part.
        if (length > sizeOnEntry || length > SettingDataBytes) {
            return ERROR_INSUFFICIENT_BUFFER;
        }
        return WriteReply(packet, value->Type, value->Data, length);
    default:
        return ERROR_DEV_NOT_EXIST;
    }
}

// Looks the name up in one key: NO_ERROR when the key holds it (its information in the work area),
// ERROR_DEV_NOT_EXIST when it does not. The name's length was checked, so only a lack of pool
// memory fails its conversion (ERROR_NOT_ENOUGH_MEMORY): a later key or a device parameter must not
// answer for a value that could not be looked up.
static VP_STATUS QueryValue(RelayWork* work, HANDLE key, const CHAR* name) {
    if (!ConvertValueName(work, name)) return ERROR_NOT_ENOUGH_MEMORY;
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, &work->valueName, KeyValuePartialInformation, work->valueInformation,
                                      sizeof(work->valueInformation), &resultLength);
    if (NT_SUCCESS(status)) return NO_ERROR;
    RtlFreeUnicodeString(&work->valueName);
    return ERROR_DEV_NOT_EXIST;
}

VP_STATUS ReadRelayedSetting(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet, SettingClass nameClass) {
    const CHAR* name = static_cast<const CHAR*>(packet->InputBuffer);
    if (BoundedLength(name, packet->InputBufferLength) > MaxConvertibleLength) return ERROR_DEV_NOT_EXIST;
    ULONG sizeOnEntry = ReplyOf(packet)->size;

    auto* work = static_cast<RelayWork*>(AllocateWorkArea(adapter, sizeof(RelayWork)));
    if (work == nullptr) return ERROR_NOT_ENOUGH_MEMORY;

    VP_STATUS status = ERROR_DEV_NOT_EXIST;
    ULONG first = nameClass == SettingClass::OpenGlDriver ? MachineSettingsKeyPath : 0;
    for (ULONG entry = first; entry < KeyPathCount; ++entry) {
        BuildKeyPath(nameClass, entry, work->keyPath);
        HANDLE key = nullptr;
        if (!OpenKey(work, KEY_READ, &key)) continue;
        VP_STATUS lookup = QueryValue(work, key, name);
        if (lookup == NO_ERROR) {
            // The first key that holds the name decides, whatever the outcome.
            status = ReplyWithFoundValue(adapter, work, packet, nameClass, sizeOnEntry);
            RtlFreeUnicodeString(&work->valueName);
        } else if (lookup == ERROR_NOT_ENOUGH_MEMORY) {
            status = lookup;
        }
        ZwClose(key);
        if (lookup != ERROR_DEV_NOT_EXIST) break;
    }
    FreeWorkArea(adapter, work);
    return status;
}

// --- The OpenGL driver's file -------------------------------------------------------------------

struct FileWork {
    WCHAR path[64];   // 128 bytes: the directory's 21 characters leave 43 for the file name
    UNICODE_STRING pathName;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK ioStatus;
};

NTSTATUS DriverFileExists(AdapterState* adapter, const WCHAR* fileName, ULONG units) {
    static const WCHAR directory[] = WIDE("\\SystemRoot\\System32\\");
    constexpr ULONG directoryUnits = sizeof(directory) / sizeof(WCHAR) - 1;
    auto* work = static_cast<FileWork*>(AllocateWorkArea(adapter, sizeof(FileWork)));
    if (work == nullptr) return STATUS_NO_MEMORY;

    ULONG length = 0;
    for (; length < directoryUnits; ++length) work->path[length] = directory[length];
    // A name that does not fit is left out: the open then names the directory and fails.
    if (units <= sizeof(work->path) / sizeof(WCHAR) - directoryUnits) {
        for (ULONG i = 0; i < units; ++i) work->path[length++] = fileName[i];
    }
    work->pathName.Buffer = work->path;
    work->pathName.Length = static_cast<USHORT>(length * sizeof(WCHAR));
    work->pathName.MaximumLength = sizeof(work->path);
    InitializeObjectAttributes(&work->attributes, &work->pathName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);

    HANDLE file = nullptr;
    NTSTATUS status = ZwCreateFile(&file, GENERIC_READ, &work->attributes, &work->ioStatus, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr, 0);
    if (NT_SUCCESS(status)) ZwClose(file);
    FreeWorkArea(adapter, work);
    return status;
}

// --- The device parameters ----------------------------------------------------------------------

// The capture record the driver handed the port, or null when the value is too long for it.
static ValueCapture* CaptureOf(PVOID context, ULONG length) {
    auto* capture = static_cast<ValueCapture*>(context);
    return length > capture->size ? nullptr : capture;
}

VP_STATUS NTAPI CaptureRawValue(PVOID, PVOID context, PWSTR, PVOID valueData, ULONG valueLength) {
    ValueCapture* capture = CaptureOf(context, valueLength);
    if (capture == nullptr) return static_cast<VP_STATUS>(STATUS_UNSUCCESSFUL);
    capture->size = valueLength;
    VideoPortMoveMemory(capture->data, valueData, valueLength);
    return NO_ERROR;
}

// The value's first 32 bits as decimal text; a shorter value is zero-extended.
VP_STATUS NTAPI CaptureNumberAsText(PVOID, PVOID context, PWSTR, PVOID valueData, ULONG valueLength) {
    ValueCapture* capture = CaptureOf(context, valueLength);
    if (capture == nullptr) return static_cast<VP_STATUS>(STATUS_UNSUCCESSFUL);
    const UCHAR* bytes = static_cast<const UCHAR*>(valueData);
    ULONG number = 0;
    for (ULONG i = 0; i < valueLength && i < sizeof(ULONG); ++i) number |= static_cast<ULONG>(bytes[i]) << (8 * i);
    CHAR* text = FormatNumber(number, reinterpret_cast<CHAR*>(capture->data), 10);
    capture->size = BoundedLength(text, capture->size) + 1;
    return NO_ERROR;
}

CHAR* FormatNumber(ULONG value, CHAR* buffer, ULONG base) {
    CHAR digits[12];
    ULONG at = sizeof(digits) - 1;
    digits[at] = 0;
    if (base >= 8 && base <= 36) {
        // At least one digit: the value 0 is "0".
        do {
            ULONG digit = value % base;
            digits[--at] = static_cast<CHAR>(digit <= 9 ? '0' + digit : 'A' + (digit - 10));
            value /= base;
        } while (value != 0);
    }
    ULONG i = 0;
    while ((buffer[i] = digits[at + i]) != 0) ++i;
    return buffer;
}

struct ParameterWork {
    ValueCapture capture;
    UCHAR data[SettingDataBytes];
};

static VP_STATUS ReadDeviceParameter(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet, const CHAR* name,
                                     ULONG sizeOnEntry) {
    WCHAR wideName[NameUnits];
    WidenName(name, wideName);
    bool asText = IsNumberAsTextName(name);
    auto* work = static_cast<ParameterWork*>(AllocateWorkArea(adapter, sizeof(ParameterWork)));
    if (work == nullptr) return ERROR_NOT_ENOUGH_MEMORY;

    work->capture.size = SettingDataBytes;
    work->capture.data = work->data;
    VP_STATUS status = VideoPortGetRegistryParameters(adapter, wideName, FALSE,
                                                      asText ? CaptureNumberAsText : CaptureRawValue, &work->capture);
    if (status == NO_ERROR) {
        ULONG size = work->capture.size;
        ULONG type = asText ? REG_SZ : size == sizeof(ULONG) ? REG_DWORD : REG_BINARY;
        // The capture holds at most the reply's SettingDataBytes.
        status = size > sizeOnEntry ? ERROR_INSUFFICIENT_BUFFER : WriteReply(packet, type, work->data, size);
    }
    FreeWorkArea(adapter, work);
    return status;
}

// --- The request --------------------------------------------------------------------------------

VP_STATUS ReadSetting(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet) {
    // The reply is written whole: an output that cannot hold it is refused before anything is read.
    if (packet->OutputBufferLength < sizeof(SettingReply)) {
        packet->StatusBlock->Information = sizeof(SettingReply);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    const CHAR* name = static_cast<const CHAR*>(packet->InputBuffer);
    ULONG inputLength = packet->InputBufferLength;
    if (BoundedLength(name, inputLength) == inputLength) return ERROR_INVALID_PARAMETER;   // no zero byte
    // Read before anything is written: the size field shares storage with the name's bytes 4-7.
    ULONG sizeOnEntry = ReplyOf(packet)->size;

    SettingClass nameClass = ClassifySettingName(name, inputLength);
    if (nameClass == SettingClass::OpenGlDriver || nameClass == SettingClass::Relayed) {
        VP_STATUS status = ReadRelayedSetting(adapter, packet, nameClass);
        if (status == NO_ERROR || status == ERROR_NOT_ENOUGH_MEMORY) return status;
    }
    return ReadDeviceParameter(adapter, packet, name, sizeOnEntry);
}
