// The display data channel: the five line callbacks on the monitor line register, the wait for
// vertical sync, the read of the monitor's identification data and the monitor child.
#include "adapter/callbacks.h"
#include "hw/access.h"
#include "hw/registers.h"
#include "monitor/monitor.h"
#include "platform/diagnostics.h"

// Drives one output bit of the monitor line register, keeping every other bit.
static void WriteLineBit(const AdapterState* adapter, ULONG bit, UCHAR level) {
    ULONG lines = ReadMmio(adapter, reg::MonitorLines) & ~bit;
    WriteMmio(adapter, reg::MonitorLines, level ? lines | bit : lines);
}

VOID NTAPI WriteClockLine(PVOID hwDeviceExtension, UCHAR level) {
    WriteLineBit(AdapterOf(hwDeviceExtension), reg::MonitorClockOut, level);
}

VOID NTAPI WriteDataLine(PVOID hwDeviceExtension, UCHAR level) {
    WriteLineBit(AdapterOf(hwDeviceExtension), reg::MonitorDataOut, level);
}

// The input bits show the level on the wire, which the monitor can hold low.
BOOLEAN NTAPI ReadClockLine(PVOID hwDeviceExtension) {
    return (ReadMmio(AdapterOf(hwDeviceExtension), reg::MonitorLines) & reg::MonitorClockIn) ? TRUE : FALSE;
}

BOOLEAN NTAPI ReadDataLine(PVOID hwDeviceExtension) {
    return (ReadMmio(AdapterOf(hwDeviceExtension), reg::MonitorLines) & reg::MonitorDataIn) ? TRUE : FALSE;
}

// Waits while the status register's sync bit reads `level`; false when the bound ran out first.
static bool WaitWhileSyncReads(const AdapterState* adapter, ULONG level) {
    for (ULONG poll = 0; poll < VsyncWaitPolls; ++poll) {
        if ((ReadMmio(adapter, reg::Status) & reg::StatusVsyncActive) != level) return true;
        VideoPortStallExecution(VsyncPollMicroseconds);
    }
    return false;
}

// The status bit follows the sync signal as driven: high during the pulse with positive polarity,
// low during the pulse with negative polarity. A stopped sync never changes it, hence the bounds.
VOID NTAPI WaitVsync(PVOID hwDeviceExtension) {
    const AdapterState* adapter = AdapterOf(hwDeviceExtension);
    bool negative = (ReadVga(adapter, reg::VgaMiscRead) & reg::MiscOutputVsyncPolarity) != 0;
    ULONG pulseLevel = negative ? 0 : reg::StatusVsyncActive;
    if (!WaitWhileSyncReads(adapter, pulseLevel)) return;       // the pulse in progress, if any
    WaitWhileSyncReads(adapter, pulseLevel ^ reg::StatusVsyncActive);  // until the next one starts
}

// The channel is enabled with both lines released, so that the DDC helper finds the bus idle: an
// output left at 0 would pull its line low from the moment the chip drives the lines, and a helper
// that checks the bus before its start condition would give up on a monitor that answers.
BOOLEAN ReadMonitorDescriptor(AdapterState* adapter, PUCHAR buffer, ULONG length) {
    ULONG saved = ReadMmio(adapter, reg::MonitorLines);
    WriteMmio(adapter, reg::MonitorLines, saved | reg::MonitorDdcEnable | reg::MonitorLinesReleased);

    I2C_FNC_TABLE lines;
    VideoPortZeroMemory(&lines, sizeof(lines));
    lines.Size = sizeof(I2C_FNC_TABLE);
    lines.WriteClockLine = WriteClockLine;
    lines.WriteDataLine = WriteDataLine;
    lines.ReadClockLine = ReadClockLine;
    lines.ReadDataLine = ReadDataLine;
    lines.WaitVsync = WaitVsync;
    BOOLEAN read = VideoPortDDCMonitorHelper(adapter, &lines, buffer, length);

    // Also puts both line outputs and the channel enable back as they were.
    WriteMmio(adapter, reg::MonitorLines, saved);
    return read;
}

// The monitor is always reported; its identifier says whether its identification data was read.
VP_STATUS NTAPI HwGetVideoChildDescriptor(PVOID hwDeviceExtension, PVIDEO_CHILD_ENUM_INFO childEnumInfo,
                                          PVIDEO_CHILD_TYPE childType, PUCHAR childDescriptor, PULONG uid, PULONG) {
    ULONG index = childEnumInfo->ChildIndex;
    ULONG descriptorSize = childEnumInfo->ChildDescriptorSize;
    if (index != MonitorChildIndex) return ERROR_NO_MORE_DEVICES;

    *childType = Monitor;
    BOOLEAN read = ReadMonitorDescriptor(AdapterOf(hwDeviceExtension), childDescriptor, descriptorSize);
    *uid = read ? MonitorWithEdidId : MonitorWithoutEdidId;
    if (!read) DebugMessage(Warn, "the monitor did not answer on the display data channel: no EDID\n");
    return ERROR_MORE_DATA;
}
