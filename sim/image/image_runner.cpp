#include "image_runner.h"

#include "pe_image.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace sim::image {

namespace {

std::string Key(std::string dll, const std::string& name) {
    std::transform(dll.begin(), dll.end(), dll.begin(), [](unsigned char c) { return std::tolower(c); });
    return dll + "!" + name;
}

}  // namespace

ImageRunner::ImageRunner(const PlatformRoutines& routines, std::span<const ImportedRoutine> table, const RunnerLayout& layout)
    : stack_(layout.stackMemory ? 0 : layout.stackSize), cpu_(layout.thunkPage) {
    uint8_t* stack = layout.stackMemory ? layout.stackMemory : stack_.data();
    cpu_.MapMemory(layout.stackBase, RoundToPages(layout.stackSize), stack, ProtectRead | ProtectWrite);
    cpu_.SetStackTop(layout.stackBase + RoundToPages(layout.stackSize));
    for (const ImportedRoutine& entry : table) {
        Thunk thunk;
        thunk.name = std::string(entry.name);
        thunk.convention = entry.convention;
        thunk.argumentBytes = entry.argumentBytes;
        thunk.result = entry.result;
        thunk.variadic = entry.variadic;
        thunk.run = [&routines, entry](std::span<const uint32_t> slots) -> uint64_t {
            if (!entry.provided(routines)) {
                throw CpuFault("the image called " + std::string(entry.dll) + "!" + std::string(entry.name) +
                               ", which this machine does not implement");
            }
            return entry.invoke(routines, slots);
        };
        thunks_[Key(std::string(entry.dll), std::string(entry.name))] = cpu_.AddThunk(std::move(thunk));
    }
}

std::optional<uint32_t> ImageRunner::ThunkAddress(const std::string& dll, const std::string& name) const {
    auto it = thunks_.find(Key(dll, name));
    if (it == thunks_.end()) return std::nullopt;
    return it->second;
}

const LoadedImage& ImageRunner::Load(std::vector<uint8_t> file, std::optional<uint32_t> base, uint8_t* memory) {
    uint32_t address = base ? *base : PreferredBase(file);
    LoadedImage image = LoadImage(std::move(file), address, [this](const std::string& dll, const std::string& name) {
        return ThunkAddress(dll, name);
    });
    Unload();
    uint8_t* running = memory ? memory : image.memory.data();
    if (memory) std::memcpy(memory, image.memory.data(), image.size);
    size_t mapped = 0;
    try {
        for (; mapped < image.sections.size(); ++mapped) {
            const MappedSection& section = image.sections[mapped];
            cpu_.MapMemory(section.address, section.size, running + (section.address - image.base), section.protection);
        }
    } catch (...) {
        while (mapped > 0) {
            const MappedSection& section = image.sections[--mapped];
            cpu_.Unmap(section.address, section.size);
        }
        throw;
    }
    image_ = std::move(image);
    return *image_;
}

void ImageRunner::Unload() {
    if (!image_) return;
    for (const MappedSection& section : image_->sections) cpu_.Unmap(section.address, section.size);
    image_.reset();
}

void ImageRunner::AddLinkMapSymbols(const std::string& mapText) {
    if (!image_) throw std::logic_error("no image is loaded");
    for (const auto& [name, address] : pe::MapSymbols(mapText)) {
        uint32_t rva = address - image_->preferredBase;
        if (rva < image_->size) image_->symbols.emplace_back(name, image_->base + rva);
    }
}

const LoadedImage& ImageRunner::Image() const {
    if (!image_) throw std::logic_error("no image is loaded");
    return *image_;
}

uint32_t ImageRunner::CallDriverEntry(uint32_t driverObject, uint32_t registryPath) {
    return static_cast<uint32_t>(cpu_.Call(Image().entryPoint, {driverObject, registryPath}));
}

}  // namespace sim::image
