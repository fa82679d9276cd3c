// The port's part in the monitor child and power management: child enumeration, the DDC helper,
// and the power callbacks.
#include <algorithm>
#include <cstring>

#include "port/ddc_master.h"
#include "port/port.h"

namespace sim {

namespace {

// What the platform hands the driver for a child: a 256-byte descriptor buffer (room for the EDID
// base block and one extension), and how enumeration goes on after each answer.
constexpr uint32_t ChildDescriptorBytes = 256;
constexpr uint32_t MaxChildren = 16;
constexpr uint32_t ErrorInvalidName = 123;   // this child cannot be enumerated; go on with the next
constexpr uint32_t ErrorContinue = 1246;     // the later name for "a child, and maybe more"

// The helper reads the base block only. The platform documents no retry count and promises only
// FALSE for a monitor that does not answer, so the helper tries once unless the adapter's
// description asks for more (AdapterConfig::ddcAttempts): a driver cannot count on a retry for a
// monitor that switches from DDC1 to DDC2B on the first clock pulses it sees and misses the first
// transaction. The tolerant helper (AdapterConfig::ddcHelper) waits for a vertical sync through the
// driver's WaitVsync before each attempt, so that the transaction starts on a frame boundary, away
// from the sync edge that DDC1 monitors clock on; the strict one does not.
constexpr uint32_t DdcBaseBlockBytes = 128;

bool HasEdidHeader(const uint8_t* bytes, uint32_t count) {
    static const uint8_t header[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    return count >= sizeof header && std::memcmp(bytes, header, sizeof header) == 0;
}

}  // namespace

// A monitor's descriptor is its identification data: the port takes the base block when it begins
// with the EDID header (and otherwise knows the monitor by no data), and hands it on to the system.
void VideoPort::CheckDescriptorWritten(uint32_t type, uint32_t address, const uint8_t* descriptor) {
    if (type != Monitor || !HasEdidHeader(descriptor, DdcBaseBlockBytes)) return;
    kernel_.CheckWritten("the monitor's descriptor handed to the port", address, descriptor, DdcBaseBlockBytes);
}

void VideoPort::EnumerateChildren(int index) {
    AdapterRuntime& adapter = state_.adapters.at(index);
    adapter.children.clear();
    ULONG code = state_.registration.HwGetVideoChildDescriptor.address;
    if (!code || !adapter.extension) return;

    int previous = faults_.CurrentAdapter();
    faults_.SetCurrentAdapter(index);
    KernelSpace& space = kernel_.Space();
    uint32_t infoAddress = space.AllocateMemory(sizeof(VIDEO_CHILD_ENUM_INFO), "child enumeration information");
    uint32_t typeAddress = space.AllocateMemory(sizeof(VIDEO_CHILD_TYPE), "child type");
    uint32_t uidAddress = space.AllocateMemory(sizeof(ULONG), "child identifier");
    uint32_t unusedAddress = space.AllocateMemory(sizeof(ULONG), "child enumeration, unused");
    uint32_t descriptorAddress = space.AllocateMemory(ChildDescriptorBytes, "child descriptor");
    auto* info = static_cast<PVIDEO_CHILD_ENUM_INFO>(kernel_.HostPointer(infoAddress));
    auto* type = static_cast<PVIDEO_CHILD_TYPE>(kernel_.HostPointer(typeAddress));
    auto* uid = static_cast<PULONG>(kernel_.HostPointer(uidAddress));
    auto* descriptor = static_cast<PUCHAR>(kernel_.HostPointer(descriptorAddress));

    uint32_t child = 1;
    for (; child <= MaxChildren; ++child) {
        info->Size = sizeof(VIDEO_CHILD_ENUM_INFO);
        info->ChildDescriptorSize = ChildDescriptorBytes;
        info->ChildIndex = child;
        info->ACPIHwId = 0;
        info->ChildHwDeviceExtension.address = 0;
        *type = Other;
        *uid = 0;
        // Pool memory: it holds what earlier owners left there.
        kernel_.FillStale(descriptorAddress, ChildDescriptorBytes);
        kernel_.Ledger().Track(descriptorAddress, descriptor, ChildDescriptorBytes);
        uint32_t status = miniport_.GetVideoChildDescriptor(code, ExtensionPointer(index), info, type, descriptor, uid,
                                                            static_cast<PULONG>(kernel_.HostPointer(unusedAddress)));
        if (status == ERROR_MORE_DATA || status == ErrorContinue) CheckDescriptorWritten(*type, descriptorAddress, descriptor);
        kernel_.Ledger().Untrack(descriptorAddress);
        if (status == ErrorInvalidName) continue;
        if (status != ERROR_MORE_DATA && status != ErrorContinue) break;
        adapter.children.push_back(
            ChildDevice{child, static_cast<uint32_t>(*type), *uid,
                        std::vector<uint8_t>(descriptor, descriptor + ChildDescriptorBytes)});
    }
    if (child > MaxChildren) {
        faults_.ReportDriver("HwGetVideoChildDescriptor never answered ERROR_NO_MORE_DEVICES");
    }
    for (uint32_t address : {infoAddress, typeAddress, uidAddress, unusedAddress, descriptorAddress}) space.Free(address);
    faults_.SetCurrentAdapter(previous);
}

BOOLEAN VideoPort::DdcMonitorHelper(PVOID extension, PVOID control, PUCHAR buffer, ULONG size) {
    RoutineCall call = BeginRoutine(extension, "VideoPortDDCMonitorHelper", PlatformCall::DDCMonitorHelper);
    if (call.fail) return FALSE;
    I2C_FNC_TABLE lines;
    std::memcpy(&lines, control, sizeof lines);
    if (lines.Size != sizeof(I2C_FNC_TABLE)) {
        faults_.ReportDriver("VideoPortDDCMonitorHelper was given a table of " + std::to_string(lines.Size) +
                             " bytes; Windows 2000 takes the 28-byte I2C_FNC_TABLE");
        return FALSE;
    }
    if (!lines.WriteClockLine.address || !lines.WriteDataLine.address || !lines.ReadClockLine.address ||
        !lines.ReadDataLine.address) {
        faults_.ReportDriver("VideoPortDDCMonitorHelper was given a table without all four line callbacks");
        return FALSE;
    }
    uint32_t address = kernel_.Space().AddressOfHost(buffer);
    const Region* region = address ? kernel_.Space().Find(address) : nullptr;
    if (!region || uint64_t{address} + size > uint64_t{region->base} + region->size) {
        faults_.ReportDriver("VideoPortDDCMonitorHelper was given a buffer of " + std::to_string(size) +
                             " bytes that is not the driver's memory");
        return FALSE;
    }

    std::memset(buffer, 0, size);
    kernel_.Ledger().MarkWritten(address, size);
    uint32_t count = std::min<uint32_t>(size, DdcBaseBlockBytes);
    const AdapterConfig& board = bus_.BoardAt(call.adapter).config;
    const bool waitsForSync = board.ddcHelper == DdcHelper::Tolerant && lines.WaitVsync.address;
    DdcMaster master(miniport_, extension, lines, bus_, board.ddcHelper);
    for (uint32_t attempt = 0; attempt < board.ddcAttempts; ++attempt) {
        if (waitsForSync) miniport_.WaitVsync(lines.WaitVsync.address, extension);
        if (master.Read(0, buffer, count) && HasEdidHeader(buffer, count)) return TRUE;
    }
    return FALSE;
}

bool VideoPort::ReadDisplayData(int adapter, const I2C_FNC_TABLE& lines, uint8_t offset, uint32_t count,
                                std::vector<uint8_t>* bytes) {
    bytes->assign(count, 0);
    DdcMaster master(miniport_, ExtensionPointer(adapter), lines, bus_, bus_.BoardAt(adapter).config.ddcHelper);
    return master.Read(offset, bytes->data(), count);
}

uint32_t VideoPort::CallPower(int index, bool set, uint32_t hwId, uint32_t state) {
    const VIDEO_HW_INITIALIZATION_DATA& data = state_.registration;
    ULONG code = set ? data.HwSetPowerState.address : data.HwGetPowerState.address;
    if (!code) return ERROR_INVALID_FUNCTION;
    int previous = faults_.CurrentAdapter();
    faults_.SetCurrentAdapter(index);
    uint32_t address = kernel_.Space().AllocateMemory(sizeof(VIDEO_POWER_MANAGEMENT), "power management");
    auto* power = static_cast<PVIDEO_POWER_MANAGEMENT>(kernel_.HostPointer(address));
    power->Length = sizeof(VIDEO_POWER_MANAGEMENT);
    power->DPMSVersion = 0;
    power->PowerState = state;
    uint32_t status = set ? miniport_.SetPowerState(code, ExtensionPointer(index), hwId, power)
                          : miniport_.GetPowerState(code, ExtensionPointer(index), hwId, power);
    kernel_.Space().Free(address);
    faults_.SetCurrentAdapter(previous);
    return status;
}

uint32_t VideoPort::QueryPower(int adapter, uint32_t hwId, uint32_t state) { return CallPower(adapter, false, hwId, state); }

// The adapter's own power follows a request the driver accepted: in suspend and off the chip loses
// its power, and nothing but the driver sets it up again.
// On the way back the bus driver powers the device before the driver is told, so that the driver can
// set the chip up again in its HwSetPowerState.
uint32_t VideoPort::SetDevicePower(int adapter, uint32_t hwId, uint32_t state) {
    bool keepsPower = state == VideoPowerOn || state == VideoPowerStandBy || state == VideoPowerHibernate;
    if (hwId == AdapterId && keepsPower) bus_.PowerUp(adapter);
    uint32_t status = CallPower(adapter, true, hwId, state);
    if (hwId != AdapterId || status != NO_ERROR) return status;
    state_.adapters.at(adapter).powerState = state;
    if (state == VideoPowerSuspend || state == VideoPowerOff) bus_.PowerDown(adapter);
    return status;
}

// Hibernation is the machine's: once the driver has been told, every other started adapter is told
// as well, the machine powers off and boots cold (the system BIOS brings up only the board it
// brought up at boot), the PCI bus driver restores every device's configuration, and every started
// adapter is told VideoPowerOn, in slot order.
uint32_t VideoPort::SetPower(int adapter, uint32_t hwId, uint32_t state) {
    uint32_t status = SetDevicePower(adapter, hwId, state);
    if (hwId != AdapterId || state != VideoPowerHibernate || status != NO_ERROR) return status;
    for (size_t i = 0; i < state_.adapters.size(); ++i) {
        if (static_cast<int>(i) != adapter && state_.adapters[i].started) {
            SetDevicePower(static_cast<int>(i), AdapterId, VideoPowerHibernate);
        }
    }
    bus_.ColdBoot();
    for (size_t i = 0; i < state_.adapters.size(); ++i) {
        if (state_.adapters[i].started) SetDevicePower(static_cast<int>(i), AdapterId, VideoPowerOn);
    }
    return status;
}

}  // namespace sim
