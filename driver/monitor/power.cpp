// Power management: the monitor's power states through the sync outputs and the screen-off bit
// (VESA DPMS), and the adapter's, with the chip initialized again on the way back from a state that
// took its power (suspend, off, hibernation).
#include "adapter/bringup.h"
#include "adapter/callbacks.h"
#include "hw/access.h"
#include "hw/registers.h"
#include "monitor/monitor.h"
#include "platform/diagnostics.h"

struct MonitorPowerEntry {
    ULONG syncBits;     // written to the output control register's monitor power bits
    UCHAR screenOff;    // the sequencer's screen-off bit
};

// Indexed by power state - 1: on, stand-by, suspend, off, hibernate (which keeps the monitor on).
static const MonitorPowerEntry monitorPowerTable[] = {
    {0, 0},
    {reg::OutputHsyncOff, reg::SeqScreenOff},
    {reg::OutputVsyncOff, reg::SeqScreenOff},
    {reg::OutputHsyncOff | reg::OutputVsyncOff, reg::SeqScreenOff},
    {0, 0},
};

static bool IsPowerState(ULONG state) { return state >= VideoPowerOn && state <= VideoPowerHibernate; }

static bool IsMonitorId(ULONG hwId) { return hwId == MonitorWithEdidId || hwId == MonitorWithoutEdidId; }

void ApplyMonitorPower(const AdapterState* adapter, ULONG syncBits, UCHAR screenOff) {
    UCHAR index = ReadVga(adapter, reg::VgaSequencer);
    WriteVga(adapter, reg::VgaSequencer, reg::SeqClockingMode);
    UCHAR clocking = ReadVga(adapter, reg::VgaSequencerData);
    WriteVga(adapter, reg::VgaSequencerData, static_cast<UCHAR>((clocking & ~reg::SeqScreenOff) | screenOff));
    ULONG output = ReadMmio(adapter, reg::OutputControl) & ~reg::OutputSyncBits;
    WriteMmio(adapter, reg::OutputControl, output | syncBits);
    WriteVga(adapter, reg::VgaSequencer, index);
}

// After suspend or off the chip has lost its setup, and after hibernation too: the machine powered
// off and booted cold, and the system BIOS brings up only the primary board (and that with its own
// values).
static bool LostPower(ULONG state) {
    return state == VideoPowerSuspend || state == VideoPowerOff || state == VideoPowerHibernate;
}

static void ReinitializeAdapter(AdapterState* adapter) {
    InitializeChip(adapter);
    if (!adapter->isSecondary) WriteMmio(adapter, reg::Reg28, reg::Reg28PowerUpValue);
}

// A request names one of the adapter's devices and a state from on to hibernate; any other is
// refused with a message saying which part is wrong.
static VP_STATUS CheckPowerRequest(ULONG hwId, ULONG state) {
    if (!IsMonitorId(hwId) && hwId != AdapterPowerId) {
        DebugMessage(Warn, "power state %u refused: 0x%08X names no device of the adapter\n", state, hwId);
        return ERROR_INVALID_PARAMETER;
    }
    if (!IsPowerState(state)) {
        DebugMessage(Warn, "power state %u refused for device 0x%08X: not a state from 1 to 5\n", state, hwId);
        return ERROR_INVALID_PARAMETER;
    }
    return NO_ERROR;
}

VP_STATUS NTAPI HwGetPowerState(PVOID, ULONG hwId, PVIDEO_POWER_MANAGEMENT powerControl) {
    return CheckPowerRequest(hwId, powerControl->PowerState);
}

// A refused request changes nothing: recording an invalid adapter state would lose the suspend or
// off before it, and the adapter would come back without its initialization.
VP_STATUS NTAPI HwSetPowerState(PVOID hwDeviceExtension, ULONG hwId, PVIDEO_POWER_MANAGEMENT powerControl) {
    AdapterState* adapter = AdapterOf(hwDeviceExtension);
    ULONG state = powerControl->PowerState;
    VP_STATUS status = CheckPowerRequest(hwId, state);
    if (status != NO_ERROR) return status;

    if (IsMonitorId(hwId)) {
        const MonitorPowerEntry& entry = monitorPowerTable[state - VideoPowerOn];
        ApplyMonitorPower(adapter, entry.syncBits, entry.screenOff);
        return NO_ERROR;
    }
    // What counts is the state being left: leaving off for off again also initializes the chip.
    if (LostPower(adapter->powerState)) ReinitializeAdapter(adapter);
    adapter->powerState = state;
    return NO_ERROR;
}
