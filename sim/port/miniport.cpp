#include "port/miniport.h"

#include <cstring>

#include "kernel/kernel.h"

// The driver's entry point, the one symbol of the host build the port knows by name.
extern "C" ULONG NTAPI DriverEntry(PVOID driverObject, PVOID registryPath);

extern "C" {
// The driver image's writable data (see DRIVER_IMAGE_DATA). Weak: an image may have none.
extern char __start_zarn_image_data[] __attribute__((weak));
extern char __stop_zarn_image_data[] __attribute__((weak));
}

namespace sim {

namespace {

// The machine whose copy of the image's data is in place now.
HostMiniport* imageOwner = nullptr;

std::vector<uint8_t> ReadImage() {
    if (!__start_zarn_image_data || !__stop_zarn_image_data) return {};
    std::vector<uint8_t> data(static_cast<size_t>(__stop_zarn_image_data - __start_zarn_image_data));
    std::memcpy(data.data(), __start_zarn_image_data, data.size());
    return data;
}

void WriteImage(const std::vector<uint8_t>& image) {
    if (!image.empty()) std::memcpy(__start_zarn_image_data, image.data(), image.size());
}

// The image as the loader finds it in the file, before any driver code has run.
const std::vector<uint8_t> pristineImage = ReadImage();

// More than any call chain of the driver's host build uses, sanitizer builds included.
constexpr size_t StaleStackBytes = 6 * 1024;

// The stack below the caller holds what earlier calls left there: the driver's frames that follow
// lie in the same memory. Not inlined, so that its frame is below the caller's.
[[gnu::noinline]] void MakeStackStale(const Kernel& kernel) {
    alignas(16) uint8_t area[StaleStackBytes];
    kernel.FillStaleBytes(area, sizeof area);
    asm volatile("" : : "r"(area) : "memory");
}

// The driver's function at a code address, called on a stale stack.
template <class F>
F Native(const Kernel& kernel, ULONG code) {
    MakeStackStale(kernel);
    return reinterpret_cast<F>(ZarnHostCode(code));
}

}  // namespace

HostMiniport::HostMiniport(const Kernel& kernel) : data_(pristineImage), kernel_(kernel) {}

HostMiniport::~HostMiniport() {
    if (imageOwner == this) imageOwner = nullptr;
}

void HostMiniport::Activate() {
    if (imageOwner == this) return;
    if (imageOwner) imageOwner->data_ = ReadImage();
    WriteImage(data_);
    imageOwner = this;
}

std::vector<uint8_t> HostMiniport::SaveData() {
    Activate();
    return ReadImage();
}

void HostMiniport::RestoreData(const std::vector<uint8_t>& data) {
    Activate();
    WriteImage(data);
}

ULONG HostMiniport::DriverEntry(PVOID driverObject, PVOID registryPath) {
    MakeStackStale(kernel_);
    return ::DriverEntry(driverObject, registryPath);
}

VP_STATUS HostMiniport::FindAdapter(ULONG code, PVOID extension, PVOID context, PWSTR arguments,
                                    PVIDEO_PORT_CONFIG_INFO configInfo, PUCHAR again) {
    return Native<PVIDEO_HW_FIND_ADAPTER>(kernel_, code)(extension, context, arguments, configInfo, again);
}

BOOLEAN HostMiniport::Initialize(ULONG code, PVOID extension) {
    return Native<PVIDEO_HW_INITIALIZE>(kernel_, code)(extension);
}

BOOLEAN HostMiniport::StartIo(ULONG code, PVOID extension, PVIDEO_REQUEST_PACKET packet) {
    return Native<PVIDEO_HW_START_IO>(kernel_, code)(extension, packet);
}

BOOLEAN HostMiniport::ResetHw(ULONG code, PVOID extension, ULONG columns, ULONG rows) {
    return Native<PVIDEO_HW_RESET_HW>(kernel_, code)(extension, columns, rows);
}

VP_STATUS HostMiniport::RegistryValue(ULONG code, PVOID extension, PVOID context, PWSTR name, PVOID data,
                                      ULONG length) {
    return Native<PMINIPORT_GET_REGISTRY_ROUTINE>(kernel_, code)(extension, context, name, data, length);
}

// --- Monitor child and power ---

VP_STATUS HostMiniport::GetVideoChildDescriptor(ULONG code, PVOID extension, PVIDEO_CHILD_ENUM_INFO info,
                                                PVIDEO_CHILD_TYPE type, PUCHAR descriptor, PULONG uid, PULONG unused) {
    return Native<PVIDEO_HW_GET_CHILD_DESCRIPTOR>(kernel_, code)(extension, info, type, descriptor, uid, unused);
}

VP_STATUS HostMiniport::GetPowerState(ULONG code, PVOID extension, ULONG hwId, PVIDEO_POWER_MANAGEMENT power) {
    return Native<PVIDEO_HW_POWER_GET>(kernel_, code)(extension, hwId, power);
}

VP_STATUS HostMiniport::SetPowerState(ULONG code, PVOID extension, ULONG hwId, PVIDEO_POWER_MANAGEMENT power) {
    return Native<PVIDEO_HW_POWER_SET>(kernel_, code)(extension, hwId, power);
}

void HostMiniport::WriteClockLine(ULONG code, PVOID extension, UCHAR level) {
    Native<PVIDEO_WRITE_CLOCK_LINE>(kernel_, code)(extension, level);
}

void HostMiniport::WriteDataLine(ULONG code, PVOID extension, UCHAR level) {
    Native<PVIDEO_WRITE_DATA_LINE>(kernel_, code)(extension, level);
}

BOOLEAN HostMiniport::ReadClockLine(ULONG code, PVOID extension) { return Native<PVIDEO_READ_CLOCK_LINE>(kernel_, code)(extension); }

BOOLEAN HostMiniport::ReadDataLine(ULONG code, PVOID extension) { return Native<PVIDEO_READ_DATA_LINE>(kernel_, code)(extension); }

void HostMiniport::WaitVsync(ULONG code, PVOID extension) { Native<PVIDEO_WAIT_VSYNC_ACTIVE>(kernel_, code)(extension); }

}  // namespace sim
