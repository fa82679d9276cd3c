#include "port/miniport.h"

#include <cstring>

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
    return std::vector<uint8_t>(__start_zarn_image_data, __stop_zarn_image_data);
}

void WriteImage(const std::vector<uint8_t>& image) {
    if (!image.empty()) std::memcpy(__start_zarn_image_data, image.data(), image.size());
}

// The image as the loader finds it in the file, before any driver code has run.
const std::vector<uint8_t> pristineImage = ReadImage();

template <class F>
F Native(ULONG code) {
    return reinterpret_cast<F>(ZarnHostCode(code));
}

}  // namespace

HostMiniport::HostMiniport() : data_(pristineImage) {}

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
    return ::DriverEntry(driverObject, registryPath);
}

VP_STATUS HostMiniport::FindAdapter(ULONG code, PVOID extension, PVOID context, PWSTR arguments,
                                    PVIDEO_PORT_CONFIG_INFO configInfo, PUCHAR again) {
    return Native<PVIDEO_HW_FIND_ADAPTER>(code)(extension, context, arguments, configInfo, again);
}

BOOLEAN HostMiniport::Initialize(ULONG code, PVOID extension) {
    return Native<PVIDEO_HW_INITIALIZE>(code)(extension);
}

BOOLEAN HostMiniport::StartIo(ULONG code, PVOID extension, PVIDEO_REQUEST_PACKET packet) {
    return Native<PVIDEO_HW_START_IO>(code)(extension, packet);
}

BOOLEAN HostMiniport::ResetHw(ULONG code, PVOID extension, ULONG columns, ULONG rows) {
    return Native<PVIDEO_HW_RESET_HW>(code)(extension, columns, rows);
}

VP_STATUS HostMiniport::RegistryValue(ULONG code, PVOID extension, PVOID context, PWSTR name, PVOID data,
                                      ULONG length) {
    return Native<PMINIPORT_GET_REGISTRY_ROUTINE>(code)(extension, context, name, data, length);
}

}  // namespace sim
