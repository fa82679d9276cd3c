#include "port/image_miniport.h"

#include <map>
#include <stdexcept>

#include "support/file_read.h"

namespace sim {

namespace {

constexpr uint32_t PageBytes = 0x1000;

uint32_t PageOf(uint32_t address) { return address & ~(PageBytes - 1); }
uint32_t PagesSpanning(uint32_t address, uint32_t size) {
    return (address - PageOf(address) + size + PageBytes - 1) / PageBytes * PageBytes;
}

bool PlacedByLoader(const Region& region) {
    return region.base >= KernelSpace::LoaderBase && region.base < KernelSpace::LoaderLimit;
}

// No file larger than the room the loader has for the image is a driver it can load.
std::vector<uint8_t> ReadFile(const std::string& path) {
    return ReadBoundedFile("the driver image", path, KernelSpace::LoaderLimit - ImageMiniport::ImageBase);
}

// The stack, placed in the kernel address space before the runner maps it.
image::RunnerLayout StackIn(Kernel& kernel) {
    image::RunnerLayout layout;
    layout.stackBase = ImageMiniport::StackBase;
    layout.stackSize = ImageMiniport::StackBytes;
    kernel.Space().PlaceMemory(layout.stackBase, layout.stackSize, "driver stack");
    layout.stackMemory = static_cast<uint8_t*>(kernel.HostPointer(layout.stackBase));
    return layout;
}

// The processor's accesses to a device mapping, made as the kernel makes them for the host build's
// register routines: traced, and reported when they reach no device.
class DeviceMappingWindow : public image::DeviceWindow {
public:
    DeviceMappingWindow(Kernel& kernel, uint32_t first) : kernel_(kernel), first_(first) {}

    uint64_t Read(uint32_t offset, unsigned size) override {
        if (size <= 4) return kernel_.ReadMemory(At(offset), size * 8);
        uint64_t value = 0;
        for (unsigned part = 0; part < size && part < 8; part += 4) {
            value |= uint64_t{kernel_.ReadMemory(At(offset + part), 32)} << (8 * part);
        }
        return value;
    }

    void Write(uint32_t offset, unsigned size, uint64_t value) override {
        if (size <= 4) {
            kernel_.WriteMemory(At(offset), size * 8, static_cast<uint32_t>(value));
            return;
        }
        for (unsigned part = 0; part < size && part < 8; part += 4) {
            kernel_.WriteMemory(At(offset + part), 32, static_cast<uint32_t>(value >> (8 * part)));
        }
    }

private:
    const volatile void* At(uint32_t offset) const {
        return reinterpret_cast<const volatile void*>(uintptr_t{first_ + offset});
    }

    Kernel& kernel_;
    uint32_t first_;
};

}  // namespace

// The kernel's regions as the processor sees them: memory shared page for page, device mappings
// as windows (an empty region has no page to share). The loader's own regions (the image with its
// sections' protections, and the stack) the runner maps itself.
class ImageMiniport::SharedSpace : public SpaceWatcher {
public:
    SharedSpace(Kernel& kernel, image::Cpu& cpu) : kernel_(kernel), cpu_(cpu) {}

    void RegionAdded(const Region& region) override {
        if (PlacedByLoader(region) || region.ioSpace || region.size == 0) return;
        if (region.device) {
            const uint32_t first = PageOf(region.base);
            auto window = std::make_unique<DeviceMappingWindow>(kernel_, first);
            cpu_.MapDevice(first, PagesSpanning(region.base, region.size), window.get());
            windows_[first] = std::move(window);
        } else if (region.memory.data()) {
            cpu_.MapMemory(region.base, region.memory.pageBytes(), region.memory.data(),
                           image::ProtectRead | image::ProtectWrite);
        }
    }

    void RegionRemoved(const Region& region) override {
        if (PlacedByLoader(region) || region.ioSpace || region.size == 0) return;
        if (region.device) {
            const uint32_t first = PageOf(region.base);
            cpu_.Unmap(first, PagesSpanning(region.base, region.size));
            windows_.erase(first);
        } else if (region.memory.data()) {
            cpu_.Unmap(region.base, region.memory.pageBytes());
        }
    }

private:
    Kernel& kernel_;
    image::Cpu& cpu_;
    std::map<uint32_t, std::unique_ptr<DeviceMappingWindow>> windows_;
};

// The driver's own stores into the ranges the kernel's ledger watches, as the processor reports them.
class ImageMiniport::StoreReports : public WriteLedger::StoreWatcher {
public:
    StoreReports(Kernel& kernel, image::Cpu& cpu) : kernel_(kernel), cpu_(cpu) {}

    void Watch(uint32_t address, uint32_t size) override {
        watches_[address] = cpu_.WatchStores(address, size, &StoreReports::Stored, this);
    }

    void Unwatch(uint32_t address, uint32_t) override {
        auto found = watches_.find(address);
        if (found == watches_.end()) return;
        cpu_.EndWatch(found->second);
        watches_.erase(found);
    }

private:
    static void Stored(void* context, uint32_t address, unsigned size) {
        static_cast<StoreReports*>(context)->kernel_.Ledger().MarkWritten(address, size);
    }

    Kernel& kernel_;
    image::Cpu& cpu_;
    std::map<uint32_t, uint64_t> watches_;
};

ImageMiniport::ImageMiniport(const std::string& path, Kernel& kernel)
    : kernel_(kernel), runner_(routines_, image::RoutineTable(), StackIn(kernel)) {
    std::vector<uint8_t> file = ReadFile(path);
    try {
        kernel_.Space().PlaceMemory(ImageBase, image::ImageSize(file), "driver image");
        runner_.Load(std::move(file), ImageBase, static_cast<uint8_t*>(kernel_.HostPointer(ImageBase)));
    } catch (const image::ImageError& error) {
        throw std::invalid_argument(NamedFile("the driver image", path) + " cannot be loaded: " + error.what());
    }
    shared_ = std::make_unique<SharedSpace>(kernel_, runner_.Processor());
    kernel_.Space().Watch(shared_.get());
    stores_ = std::make_unique<StoreReports>(kernel_, runner_.Processor());
    kernel_.Ledger().SetWatcher(stores_.get());
}

ImageMiniport::~ImageMiniport() {
    kernel_.Ledger().SetWatcher(nullptr);
    kernel_.Space().Watch(nullptr);
}

// The stack holds what earlier calls left there: stale bytes on every entry into the driver. A
// callback from a platform routine finds the stack below the image's frames so too, as far as a
// call chain of the driver reaches (StaleStackBytes).
uint32_t ImageMiniport::Call(ULONG code, std::initializer_list<uint32_t> arguments) {
    image::Cpu& cpu = runner_.Processor();
    uint32_t top = StackBase + StackBytes, bottom = StackBase;
    if (cpu.Depth() > 0) {
        top = cpu.StackPointer();
        bottom = top - StackBase > StaleStackBytes ? top - StaleStackBytes : StackBase;
    }
    kernel_.FillStale(bottom, top - bottom);
    return static_cast<uint32_t>(cpu.Call(code, arguments));
}

ULONG ImageMiniport::DriverEntry(PVOID driverObject, PVOID registryPath) {
    return runner_.CallDriverEntry(AddressOf(driverObject), AddressOf(registryPath));
}

VP_STATUS ImageMiniport::FindAdapter(ULONG code, PVOID extension, PVOID context, PWSTR arguments,
                                     PVIDEO_PORT_CONFIG_INFO configInfo, PUCHAR again) {
    return Call(code, {AddressOf(extension), AddressOf(context), AddressOf(arguments), AddressOf(configInfo),
                       AddressOf(again)});
}

BOOLEAN ImageMiniport::Initialize(ULONG code, PVOID extension) { return CallBoolean(code, {AddressOf(extension)}); }

BOOLEAN ImageMiniport::StartIo(ULONG code, PVOID extension, PVIDEO_REQUEST_PACKET packet) {
    return CallBoolean(code, {AddressOf(extension), AddressOf(packet)});
}

BOOLEAN ImageMiniport::ResetHw(ULONG code, PVOID extension, ULONG columns, ULONG rows) {
    return CallBoolean(code, {AddressOf(extension), columns, rows});
}

VP_STATUS ImageMiniport::RegistryValue(ULONG code, PVOID extension, PVOID context, PWSTR name, PVOID data,
                                       ULONG length) {
    return Call(code, {AddressOf(extension), AddressOf(context), AddressOf(name), AddressOf(data), length});
}

VP_STATUS ImageMiniport::GetVideoChildDescriptor(ULONG code, PVOID extension, PVIDEO_CHILD_ENUM_INFO info,
                                                 PVIDEO_CHILD_TYPE type, PUCHAR descriptor, PULONG uid, PULONG unused) {
    return Call(code, {AddressOf(extension), AddressOf(info), AddressOf(type), AddressOf(descriptor), AddressOf(uid),
                       AddressOf(unused)});
}

VP_STATUS ImageMiniport::GetPowerState(ULONG code, PVOID extension, ULONG hwId, PVIDEO_POWER_MANAGEMENT power) {
    return Call(code, {AddressOf(extension), hwId, AddressOf(power)});
}

VP_STATUS ImageMiniport::SetPowerState(ULONG code, PVOID extension, ULONG hwId, PVIDEO_POWER_MANAGEMENT power) {
    return Call(code, {AddressOf(extension), hwId, AddressOf(power)});
}

void ImageMiniport::WriteClockLine(ULONG code, PVOID extension, UCHAR level) { Call(code, {AddressOf(extension), level}); }

void ImageMiniport::WriteDataLine(ULONG code, PVOID extension, UCHAR level) { Call(code, {AddressOf(extension), level}); }

BOOLEAN ImageMiniport::ReadClockLine(ULONG code, PVOID extension) { return CallBoolean(code, {AddressOf(extension)}); }

BOOLEAN ImageMiniport::ReadDataLine(ULONG code, PVOID extension) { return CallBoolean(code, {AddressOf(extension)}); }

void ImageMiniport::WaitVsync(ULONG code, PVOID extension) { Call(code, {AddressOf(extension)}); }

}  // namespace sim
