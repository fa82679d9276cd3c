// Reading an input file whose largest sensible size is known: the file is read up to that bound
// and no further, so a device that never ends (/dev/zero) or a file far too large costs no more
// memory than the bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The bytes of the file at `path`, at most `maxBytes` of them. Throws std::invalid_argument with a
// one-line message that names the file as `what` 'PATH' (such as "the option ROM file 'rom.bin'")
// when the path names nothing readable, a directory, or more than `maxBytes` bytes.
std::vector<uint8_t> ReadBoundedFile(const std::string& what, const std::string& path, size_t maxBytes);

// `what` 'PATH', the path shown with its unprintable characters escaped.
std::string NamedFile(const std::string& what, const std::string& path);

}  // namespace sim
