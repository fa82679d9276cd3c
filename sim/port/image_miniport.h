// The shipped driver image (zarn.sys) as the port driver sees it. The kernel's loader puts the image
// and its stack into the kernel address space, and an emulated i386 processor runs it: the
// processor shares the kernel's memory page for page as regions come and go (so a pointer means the
// same to the image and to the port and kernel), and reaches each device mapping through the
// kernel's own register accesses. Every callback is a call into the image at the code address the
// driver registered or handed over; every routine the image imports reaches the same port and
// kernel methods as the host build's (see machine/image_routines.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/image_runner.h"
#include "kernel/kernel.h"
#include "port/miniport.h"

namespace sim {

class ImageMiniport : public Miniport {
public:
    // Where the loader puts the image (moved from its preferred base, as Windows loads drivers high)
    // and its kernel stack, with an unmapped page below the stack.
    static constexpr uint32_t ImageBase = 0xF7A00000;
    static constexpr uint32_t StackBase = 0xF0100000;
    static constexpr uint32_t StackBytes = 12 * 1024;
    // The stack made stale below a callback's caller: more than any call chain of the driver uses.
    static constexpr uint32_t StaleStackBytes = 4 * 1024;

    // Reads and loads the image file. Throws std::invalid_argument for a file that cannot be read
    // or is no driver image this machine can load (the message says why).
    ImageMiniport(const std::string& path, Kernel& kernel);
    ~ImageMiniport() override;
    ImageMiniport(const ImageMiniport&) = delete;
    ImageMiniport& operator=(const ImageMiniport&) = delete;

    // The routines the image's imports reach; the machine fills them before the first call.
    image::PlatformRoutines& Routines() { return routines_; }
    image::ImageRunner& Runner() { return runner_; }

    // Each machine has its own processor and its own copy of the image: nothing to switch.
    void Activate() override {}
    // The image's data and stack are kernel memory, which the kernel's snapshots keep already.
    std::vector<uint8_t> SaveData() override { return {}; }
    void RestoreData(const std::vector<uint8_t>&) override {}

    ULONG DriverEntry(PVOID driverObject, PVOID registryPath) override;
    VP_STATUS FindAdapter(ULONG code, PVOID extension, PVOID context, PWSTR arguments,
                          PVIDEO_PORT_CONFIG_INFO configInfo, PUCHAR again) override;
    BOOLEAN Initialize(ULONG code, PVOID extension) override;
    BOOLEAN StartIo(ULONG code, PVOID extension, PVIDEO_REQUEST_PACKET packet) override;
    BOOLEAN ResetHw(ULONG code, PVOID extension, ULONG columns, ULONG rows) override;
    VP_STATUS RegistryValue(ULONG code, PVOID extension, PVOID context, PWSTR name, PVOID data,
                            ULONG length) override;
    VP_STATUS GetVideoChildDescriptor(ULONG code, PVOID extension, PVIDEO_CHILD_ENUM_INFO info, PVIDEO_CHILD_TYPE type,
                                      PUCHAR descriptor, PULONG uid, PULONG unused) override;
    VP_STATUS GetPowerState(ULONG code, PVOID extension, ULONG hwId, PVIDEO_POWER_MANAGEMENT power) override;
    VP_STATUS SetPowerState(ULONG code, PVOID extension, ULONG hwId, PVIDEO_POWER_MANAGEMENT power) override;
    void WriteClockLine(ULONG code, PVOID extension, UCHAR level) override;
    void WriteDataLine(ULONG code, PVOID extension, UCHAR level) override;
    BOOLEAN ReadClockLine(ULONG code, PVOID extension) override;
    BOOLEAN ReadDataLine(ULONG code, PVOID extension) override;
    void WaitVsync(ULONG code, PVOID extension) override;

private:
    class SharedSpace;
    class StoreReports;

    // A stdcall into the image; EAX.
    uint32_t Call(ULONG code, std::initializer_list<uint32_t> arguments);
    // A BOOLEAN comes back in AL.
    BOOLEAN CallBoolean(ULONG code, std::initializer_list<uint32_t> arguments) {
        return static_cast<BOOLEAN>(Call(code, arguments) & 0xFF);
    }
    uint32_t AddressOf(const void* pointer) { return kernel_.AddressOfPointer(pointer); }

    Kernel& kernel_;
    image::PlatformRoutines routines_;   // before the runner, whose thunks refer to it
    image::ImageRunner runner_;
    std::unique_ptr<SharedSpace> shared_;
    std::unique_ptr<StoreReports> stores_;
};

}  // namespace sim
