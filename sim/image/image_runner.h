// Runs a driver image on the emulated i386 CPU against the platform routines the simulated machine
// supplies: one thunk per routine of the table, the image loaded and mapped with its sections'
// protections, and a kernel stack for the calls into it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cpu.h"
#include "pe_loader.h"
#include "routines.h"

namespace sim::image {

struct RunnerLayout {
    uint32_t thunkPage = 0xFFFF0000;
    uint32_t stackBase = 0xF0100000;       // the page below stays unmapped: an overflow faults
    uint32_t stackSize = 12 * 1024;        // an i386 Windows 2000 kernel stack
    // Page-aligned memory of stackSize bytes that holds the stack (a simulated machine's own, so
    // that its kernel sees records on the stack); null: the runner's own.
    uint8_t* stackMemory = nullptr;
};

class ImageRunner {
public:
    // `routines` must outlive the runner. The thunks are made from `table`.
    explicit ImageRunner(const PlatformRoutines& routines, std::span<const ImportedRoutine> table = RoutineTable(),
                         const RunnerLayout& layout = {});

    // Loads the image at `base` (its preferred base when nullopt), replacing an image loaded
    // before. Throws ImageError. With `memory` (page-aligned, ImageSize(file) bytes, owned by the
    // caller: a simulated machine's own), the image runs there; LoadedImage::memory keeps the image
    // as loaded.
    const LoadedImage& Load(std::vector<uint8_t> file, std::optional<uint32_t> base = std::nullopt,
                            uint8_t* memory = nullptr);
    const LoadedImage& Image() const;
    // Gives a stripped image the symbols its link map lists (linked with --no-demangle, the names its
    // symbol table would have held), at the addresses where the image was loaded.
    void AddLinkMapSymbols(const std::string& mapText);

    // DriverEntry(DriverObject, RegistryPath); returns its status.
    uint32_t CallDriverEntry(uint32_t driverObject, uint32_t registryPath);

    // The thunk of a routine of the table, or nullopt.
    std::optional<uint32_t> ThunkAddress(const std::string& dll, const std::string& name) const;

    Cpu& Processor() { return cpu_; }

private:
    void Unload();

    // The memory the CPU shares is declared first, so that it outlives the CPU.
    PageMemory stack_;
    std::optional<LoadedImage> image_;
    std::map<std::string, uint32_t> thunks_;   // "dll!Name", the module in lower case
    Cpu cpu_;
};

}  // namespace sim::image
