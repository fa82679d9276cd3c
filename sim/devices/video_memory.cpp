// A board's video memory: the power-on noise mapped copy-on-write from one shared copy.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <new>

#include "devices/board.h"

namespace sim {
namespace {

// One file in memory holds the noise for the largest memory any board has asked for; every board
// maps it privately, so a page is copied only when the board writes it.
struct NoiseFile {
    int fd = -1;
    size_t size = 0;
};

uint64_t NoiseWord(size_t index) {
    // A counter-based generator (splitmix64): any word can be made on its own.
    uint64_t z = 0x9E3779B97F4A7C15ull * (index + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

int NoiseOfAtLeast(size_t size) {
    static std::mutex lock;
    static NoiseFile file;
    std::lock_guard<std::mutex> guard(lock);
    if (file.size >= size) return file.fd;
    int fd = memfd_create("zarn-video-memory-noise", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) throw std::bad_alloc();
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    auto* words = static_cast<uint64_t*>(memory);
    for (size_t i = 0; i < size / sizeof(uint64_t); ++i) words[i] = NoiseWord(i);
    munmap(memory, size);
    // Mappings made from the old file keep it alive; only new boards use the larger one.
    if (file.fd >= 0) close(file.fd);
    file = NoiseFile{fd, size};
    return fd;
}

void* MapNoise(void* at, size_t size) {
    int fd = NoiseOfAtLeast(size);
    int fixed = at != nullptr ? MAP_FIXED : 0;
    void* memory = mmap(at, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | fixed, fd, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    return memory;
}

}  // namespace

VideoMemoryBytes::VideoMemoryBytes(size_t size) : size_(size) {
    if (size == 0) return;
    bytes_ = static_cast<uint8_t*>(MapNoise(nullptr, size));
}

void VideoMemoryBytes::LoseCharge() {
    if (size_ != 0) MapNoise(bytes_, size_);
}

uint8_t VideoMemoryBytes::NoiseAt(size_t offset) {
    uint64_t word = NoiseWord(offset / sizeof(uint64_t));
    return static_cast<uint8_t>(word >> (8 * (offset % sizeof(uint64_t))));
}

}  // namespace sim
