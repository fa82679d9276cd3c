// The settings relay: the two private requests through which the user-mode 3D drivers read and
// write their settings by value name. A few names live in fixed registry keys; every other name is
// one of the adapter's device parameters.
#pragma once

#include "adapter/adapter_state.h"

// --- Names and key paths ------------------------------------------------------------------------

enum class SettingClass {
    GammaTable,    // "LumenGammaTable" and longer names that begin with it: a device parameter
    OpenGlDriver,  // exactly "Zarn": the OpenGL drivers key first
    Relayed,       // "ZR...", "Lu...", "KMTC4_...": the key path table first
    Other,         // a device parameter
};

// The class of a zero-terminated name; `inputLength` is the request's input length, which the
// gamma table test consults. Never reads past the name's zero byte.
SettingClass ClassifySettingName(const CHAR* name, ULONG inputLength);
// True for names that begin with "ZR", "Lu" or "KMTC4_", the names the relay stores.
bool IsRelayedName(const CHAR* name);
// True for names that begin with "KMTC4_": their device parameter is a number read back as text.
bool IsNumberAsTextName(const CHAR* name);

constexpr ULONG KeyPathUnits = 256;     // the key path buffer: 512 bytes of UTF-16
constexpr ULONG NameUnits = 256;        // a device parameter's name: 255 characters and a zero
constexpr ULONG KeyPathCount = 6;
constexpr ULONG MachineSettingsKeyPath = KeyPathCount - 1;   // the machine's settings key

// Writes prefix + middle + suffix of key path `entry` (0-5) for the class into `path`, terminated;
// the OpenGL driver name takes the OpenGL drivers key as its middle part. Returns the length in
// UTF-16 units.
ULONG BuildKeyPath(SettingClass nameClass, ULONG entry, WCHAR* path);

// --- Records of the two requests ----------------------------------------------------------------

constexpr ULONG SettingDataBytes = 1024;

// The settings read request's reply, in the output buffer.
struct SettingReply {
    ULONG type;     // REG_SZ, REG_BINARY or REG_DWORD
    ULONG size;     // on entry the most data bytes accepted; on return the bytes written
    UCHAR data[SettingDataBytes];
};
static_assert(sizeof(SettingReply) == 1032, "the settings reply record is 1032 bytes");
constexpr ULONG SettingReplyHeadBytes = 8;

constexpr ULONG SettingNameBytes = 64;

// The settings write request's head, in the input buffer; the data follows it.
struct SettingWriteHead {
    ULONG reserved;
    CHAR name[SettingNameBytes];   // terminated within the field
    ULONG type;
    ULONG size;                    // data bytes, for REG_BINARY and REG_DWORD
};
static_assert(sizeof(SettingWriteHead) == 76, "the settings write record's head is 76 bytes");

// --- Reading ------------------------------------------------------------------------------------

// The value capture record handed to the device parameter callbacks.
struct ValueCapture {
    ULONG size;    // on entry the capacity; on return the bytes captured
    PUCHAR data;
};

VP_STATUS ReadSetting(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
// A name of the OpenGL driver or relayed class (`nameClass`) from the relay's keys.
VP_STATUS ReadRelayedSetting(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet, SettingClass nameClass);
// Whether "\SystemRoot\System32\" + the file name (`units` UTF-16 units, no terminator needed)
// opens for reading; the kernel's status.
NTSTATUS DriverFileExists(AdapterState* adapter, const WCHAR* fileName, ULONG units);
VP_STATUS NTAPI CaptureRawValue(PVOID hwDeviceExtension, PVOID context, PWSTR valueName, PVOID valueData,
                                ULONG valueLength);
VP_STATUS NTAPI CaptureNumberAsText(PVOID hwDeviceExtension, PVOID context, PWSTR valueName, PVOID valueData,
                                    ULONG valueLength);
// The number in `base` (8 to 36) as zero-terminated text in `buffer`, which holds 12 bytes.
CHAR* FormatNumber(ULONG value, CHAR* buffer, ULONG base);

// --- Writing ------------------------------------------------------------------------------------

VP_STATUS WriteSetting(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
VP_STATUS WriteRelayedSetting(AdapterState* adapter, PVIDEO_REQUEST_PACKET packet);
// Leading spaces, tabs and line feeds skipped, then decimal digits, wrapping modulo 2^32.
ULONG ParseDecimal(const CHAR* text);

// --- Shared by the operations -------------------------------------------------------------------

// The longest name or text the platform converts between 8-bit and UTF-16 text: its UTF-16 copy and
// terminating zero must fit a counted string of at most 65535 bytes.
constexpr ULONG MaxConvertibleLength = 32766;

// The working records of a registry key access. They live in pool memory: the kernel stack, 12 KiB
// shared with every caller above the driver, cannot hold the relay's buffers.
struct RelayWork {
    WCHAR keyPath[KeyPathUnits];
    UNICODE_STRING keyName;
    OBJECT_ATTRIBUTES attributes;
    ANSI_STRING ansiName;
    UNICODE_STRING valueName;    // allocated by the platform's conversion
    ANSI_STRING ansiText;
    UNICODE_STRING text;
    // KEY_VALUE_PARTIAL_INFORMATION: a 12-byte head, then up to 1028 data bytes.
    ULONG valueInformation[1040 / sizeof(ULONG)];
};

constexpr ULONG SettingsPoolTag = 0x6E72615A;   // "Zarn" in memory order

// Pool memory for working buffers; freed by the operation that takes it, on every path.
PVOID AllocateWorkArea(AdapterState* adapter, ULONG bytes);
void FreeWorkArea(AdapterState* adapter, PVOID area);

// Opens the key at `work->keyPath` with `access`; false when the platform refuses.
bool OpenKey(RelayWork* work, ACCESS_MASK access, HANDLE* key);
// The zero-terminated name (at most MaxConvertibleLength bytes) as the UTF-16 value name in
// `work->valueName`, allocated by the platform; false when the conversion fails.
bool ConvertValueName(RelayWork* work, const CHAR* name);

// The length of the zero-terminated text at `text` within `limit` bytes, or `limit` when there is
// no zero byte within them.
ULONG BoundedLength(const CHAR* text, ULONG limit);
// Widens a name byte by byte into `wide` (256 units): at most 255 characters, terminated.
void WidenName(const CHAR* name, WCHAR* wide);

