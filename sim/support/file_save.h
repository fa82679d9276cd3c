// Saving a file the way a user expects of a command's output file: a regular file is replaced
// whole or not at all, and nothing that is not a regular file is ever replaced by one.
#pragma once

#include <csignal>
#include <streambuf>
#include <string>

namespace sim {

struct SavePolicy {
    // A FIFO is written through (the bytes go to whoever reads it) when true, refused when false:
    // a file that was read from a FIFO cannot be written back to it.
    bool writeThroughFifo = true;
};

// Saves `bytes` at `path`:
// - a regular file, or a path that names nothing yet, is replaced atomically: the bytes go into a
//   new file beside it, which is then renamed over it; a replaced file keeps its permissions. A
//   symbolic link is followed to the file it finally names, and the link stays as it was;
// - a character device (such as /dev/null or a terminal) is written through, as a shell
//   redirection would;
// - a FIFO is written through or refused, as the policy says;
// - a directory, a block device or a socket is refused.
// On failure returns false with a one-line message that starts with the path, and leaves what the
// path names as it was.
bool SaveFile(const std::string& path, const std::string& bytes, const SavePolicy& policy, std::string* error);

// The refusal SaveFile would give for what `path` names now, so that a command can refuse before
// doing the work whose result it would save; true when SaveFile may go ahead. A file to be created
// or replaced needs its directory to be there and writable.
bool CheckSaveTarget(const std::string& path, const SavePolicy& policy, std::string* error);

// The bytes of an output stream written to a file descriptor as a shell redirection writes them.
// The first failure (a pipe whose reader has gone, a full disk) is kept and stops the writing: the
// stream goes bad, and Error() says why.
class DescriptorOutput : public std::streambuf {
public:
    explicit DescriptorOutput(int fd);
    ~DescriptorOutput() override;
    DescriptorOutput(const DescriptorOutput&) = delete;
    DescriptorOutput& operator=(const DescriptorOutput&) = delete;

    // Writes what is buffered; false once any write has failed.
    bool Flush();
    // The errno of the first failed write, 0 while none has failed.
    int Error() const { return error_; }
    // A write that a signal interrupts while *stop is set fails (EINTR) instead of being tried again:
    // a stop requested by a signal ends a write that waits on a reader who takes nothing.
    void StopOnSignalWhen(const volatile std::sig_atomic_t* stop) { stop_ = stop; }

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    int fd_;
    int error_ = 0;
    const volatile std::sig_atomic_t* stop_ = nullptr;
    char buffer_[1 << 16];
};

}  // namespace sim
