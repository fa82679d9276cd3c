// Settings names and key paths: which class a value name falls in, and the registry keys the relay
// searches for it. Names compare byte by byte, case matters, and no test reads past a name's zero.
#include "settings/settings.h"

// The first `count` bytes of `name` equal those of `pattern`. Stops at the first differing byte, so
// a name shorter than the pattern is never read past its zero byte.
static bool StartsWith(const CHAR* name, const CHAR* pattern, ULONG count) {
    for (ULONG i = 0; i < count; ++i) {
        if (name[i] != pattern[i]) return false;
    }
    return true;
}

bool IsRelayedName(const CHAR* name) {
    return StartsWith(name, "ZR", 2) || StartsWith(name, "Lu", 2) || StartsWith(name, "KMTC4_", 6);
}

bool IsNumberAsTextName(const CHAR* name) { return StartsWith(name, "KMTC4_", 6); }

SettingClass ClassifySettingName(const CHAR* name, ULONG inputLength) {
    if (inputLength >= 15 && StartsWith(name, "LumenGammaTable", 15)) return SettingClass::GammaTable;
    if (StartsWith(name, "Zarn", 5)) return SettingClass::OpenGlDriver;   // the zero byte included
    if (IsRelayedName(name)) return SettingClass::Relayed;
    return SettingClass::Other;
}

struct KeyPathEntry {
    const WCHAR* prefix;
    const WCHAR* suffix;
};

// Tried in this order: the current user's keys before the machine's, and within each the Lumen
// sub-key, the D3D sub-key, then the settings key itself.
static const KeyPathEntry keyPaths[KeyPathCount] = {
    {WIDE("\\Registry\\User\\CurrentUser\\"), WIDE("\\Lumen")},
    {WIDE("\\Registry\\User\\CurrentUser\\"), WIDE("\\D3D")},
    {WIDE("\\Registry\\User\\CurrentUser\\"), WIDE("")},
    {WIDE("\\Registry\\Machine\\"), WIDE("\\Lumen")},
    {WIDE("\\Registry\\Machine\\"), WIDE("\\D3D")},
    {WIDE("\\Registry\\Machine\\"), WIDE("")},
};

static const WCHAR settingsKey[] = WIDE("SYSTEM\\CurrentControlSet\\Services\\Zarn\\Device0");
static const WCHAR openGlDriversKey[] = WIDE("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\OpenGLDrivers");

static ULONG Append(WCHAR* path, ULONG at, const WCHAR* text) {
    while (*text && at + 1 < KeyPathUnits) path[at++] = *text++;
    return at;
}

ULONG BuildKeyPath(SettingClass nameClass, ULONG entry, WCHAR* path) {
    const WCHAR* middle = nameClass == SettingClass::OpenGlDriver ? openGlDriversKey : settingsKey;
    ULONG length = Append(path, 0, keyPaths[entry].prefix);
    length = Append(path, length, middle);
    length = Append(path, length, keyPaths[entry].suffix);
    path[length] = 0;
    return length;
}

ULONG BoundedLength(const CHAR* text, ULONG limit) {
    ULONG length = 0;
    while (length < limit && text[length] != 0) ++length;
    return length;
}

void WidenName(const CHAR* name, WCHAR* wide) {
    ULONG i = 0;
    for (; i < NameUnits - 1 && name[i] != 0; ++i) wide[i] = static_cast<UCHAR>(name[i]);
    wide[i] = 0;
}

// The kernel's paged pool: the video port of Windows 2000 has no allocation routine for this.
PVOID AllocateWorkArea(AdapterState*, ULONG bytes) { return ExAllocatePoolWithTag(PagedPool, bytes, SettingsPoolTag); }

void FreeWorkArea(AdapterState*, PVOID area) { ExFreePool(area); }

bool OpenKey(RelayWork* work, ACCESS_MASK access, HANDLE* key) {
    RtlInitUnicodeString(&work->keyName, work->keyPath);
    InitializeObjectAttributes(&work->attributes, &work->keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    return NT_SUCCESS(ZwOpenKey(key, access, &work->attributes));
}

bool ConvertValueName(RelayWork* work, const CHAR* name) {
    RtlInitAnsiString(&work->ansiName, name);
    return NT_SUCCESS(RtlAnsiStringToUnicodeString(&work->valueName, &work->ansiName, TRUE));
}
