#include "support/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/untrusted_text.h"

namespace sim {

namespace {

// Closes the descriptor on every path out.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::string SizeText(size_t bytes) {
    std::string text = std::to_string(bytes) + " bytes";
    if (bytes >= 1024 && bytes % 1024 == 0) {
        text += bytes % (1024 * 1024) == 0 ? " (" + std::to_string(bytes >> 20) + " MiB)"
                                           : " (" + std::to_string(bytes >> 10) + " KiB)";
    }
    return text;
}

}  // namespace

std::string NamedFile(const std::string& what, const std::string& path) {
    return what + " '" + TerminalText(path) + "'";
}

std::vector<uint8_t> ReadBoundedFile(const std::string& what, const std::string& path, size_t maxBytes) {
    const std::string name = NamedFile(what, path);
    if (path.empty()) throw std::invalid_argument(what + " needs a file name");
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) throw std::invalid_argument("cannot read " + name + ": " + std::strerror(errno));
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) throw std::invalid_argument("cannot read " + name + ": " + std::strerror(errno));
    if (S_ISDIR(info.st_mode)) throw std::invalid_argument(name + " is a directory");
    const std::string tooLarge = name + " is larger than " + SizeText(maxBytes);
    if (S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) > maxBytes) throw std::invalid_argument(tooLarge);

    // One byte more than the bound tells a file of exactly the bound from a larger one.
    std::vector<uint8_t> bytes(maxBytes + 1);
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t read = ::read(file.get(), bytes.data() + got, bytes.size() - got);
        if (read < 0 && errno == EINTR) continue;
        if (read < 0) throw std::invalid_argument("cannot read " + name + ": " + std::strerror(errno));
        if (read == 0) break;
        got += static_cast<size_t>(read);
    }
    if (got > maxBytes) throw std::invalid_argument(tooLarge);
    bytes.resize(got);
    return bytes;
}

}  // namespace sim
