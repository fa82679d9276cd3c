#include "support/file_save.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "support/untrusted_text.h"

namespace sim {

namespace {

// Replace covers a path that names nothing yet: the new file is created where it would be.
enum class Target { Replace, WriteThrough, Refuse };

struct Decision {
    Target target = Target::Refuse;
    std::filesystem::path file;   // where a replacement is created and renamed to
    std::string why;              // for a refusal
};

std::string SystemError(int error) { return std::strerror(error); }

// The file a path finally names, through any symbolic links, as a path.
std::filesystem::path FinalTarget(const std::filesystem::path& path) {
    std::filesystem::path target = path;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!std::filesystem::is_symlink(target, ec)) break;
        std::filesystem::path link = std::filesystem::read_symlink(target, ec);
        if (ec) break;
        target = link.is_absolute() ? link : target.parent_path() / link;
    }
    return target;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// What saving to `path` does, decided by what it names (through symbolic links).
Decision Decide(const std::string& path, const SavePolicy& policy) {
    Decision decision;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno != ENOENT) {
            decision.why = "cannot create or replace it: " + SystemError(errno);
            return decision;
        }
        decision.target = Target::Replace;
        decision.file = FinalTarget(path);
        return decision;
    }
    if (S_ISREG(info.st_mode)) {
        decision.file = FinalTarget(path);
        struct stat finalInfo {};
        if (::lstat(decision.file.c_str(), &finalInfo) != 0 || !SameFile(info, finalInfo)) {
            decision.why = "cannot tell which file the path names, to replace it";
            return decision;
        }
        decision.target = Target::Replace;
        return decision;
    }
    if (S_ISCHR(info.st_mode) || (S_ISFIFO(info.st_mode) && policy.writeThroughFifo)) {
        decision.target = Target::WriteThrough;
        return decision;
    }
    if (S_ISFIFO(info.st_mode)) decision.why = "is a FIFO: what was read from it cannot be written back to it";
    else if (S_ISDIR(info.st_mode)) decision.why = "is a directory";
    else if (S_ISBLK(info.st_mode)) decision.why = "is a block device; it is not written";
    else if (S_ISSOCK(info.st_mode)) decision.why = "is a socket";
    else decision.why = "is not a file";
    return decision;
}

// Writes every byte; a write a signal interrupts is tried again unless `stop` says the writing is
// to end (a stop requested while a reader takes nothing).
bool WriteAll(int fd, const char* bytes, size_t size, const volatile std::sig_atomic_t* stop = nullptr) {
    size_t done = 0;
    while (done < size) {
        ssize_t put = ::write(fd, bytes + done, size - done);
        if (put < 0 && errno == EINTR && !(stop && *stop)) continue;
        if (put <= 0) {
            if (put == 0) errno = EIO;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

bool WriteAll(int fd, const std::string& bytes) { return WriteAll(fd, bytes.data(), bytes.size()); }

bool WriteThrough(const std::string& path, const std::string& bytes, std::string* message) {
    int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *message = "cannot open: " + SystemError(errno);
        return false;
    }
    bool written = WriteAll(fd, bytes);
    int saved = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        saved = errno;
    }
    if (!written) *message = "cannot write: " + SystemError(saved);
    return written;
}

// The signals that end a process unless it handles them, held while a temporary file exists: one
// that comes then takes effect once the file is renamed into place or removed, so that no signal
// leaves a temporary file behind (only SIGKILL, which nothing can hold, still can).
class HeldSignals {
public:
    HeldSignals() {
        sigset_t held;
        sigemptyset(&held);
        for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGXFSZ}) sigaddset(&held, signal);
        pthread_sigmask(SIG_BLOCK, &held, &before_);
    }
    ~HeldSignals() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

private:
    sigset_t before_;
};

// A new file beside `target`, filled and renamed over it.
bool ReplaceAtomically(const std::filesystem::path& target, const std::string& bytes, std::string* message) {
    std::filesystem::path directory = target.parent_path();
    if (directory.empty()) directory = ".";
    HeldSignals held;

    std::random_device entropy;
    std::filesystem::path temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%d.%08x.tmp", static_cast<int>(::getpid()), entropy());
        temporary = directory / ("." + target.filename().string() + suffix);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        *message = "cannot create a file in " + TerminalText(directory.string()) + ": " + SystemError(errno);
        return false;
    }
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        (void)::fchmod(fd, existing.st_mode & 07777);
    }

    bool written = WriteAll(fd, bytes) && ::fsync(fd) == 0;
    int saved = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        saved = errno;
    }
    if (written && ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        *message = "cannot replace the file: " + SystemError(errno);
        return false;
    }
    if (!written) {
        ::unlink(temporary.c_str());
        *message = "cannot write " + TerminalText(temporary.string()) + ": " + SystemError(saved);
        return false;
    }
    // Make the rename itself last (best effort: not every file system can sync a directory).
    int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool Fail(const std::string& path, const std::string& message, std::string* error) {
    if (error) *error = TerminalText(path) + ": " + message;
    return false;
}

}  // namespace

DescriptorOutput::DescriptorOutput(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }

DescriptorOutput::~DescriptorOutput() { Flush(); }

bool DescriptorOutput::Flush() {
    if (error_ == 0 && pptr() > pbase()) {
        if (!WriteAll(fd_, pbase(), static_cast<size_t>(pptr() - pbase()), stop_)) error_ = errno;
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return error_ == 0;
}

DescriptorOutput::int_type DescriptorOutput::overflow(int_type c) {
    if (!Flush()) return traits_type::eof();
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
}

int DescriptorOutput::sync() { return Flush() ? 0 : -1; }

bool CheckSaveTarget(const std::string& path, const SavePolicy& policy, std::string* error) {
    if (path.empty()) {
        if (error) *error = "no file name to save to";
        return false;
    }
    Decision decision = Decide(path, policy);
    if (decision.target == Target::Replace) {
        // The replacement is made in the file's directory, which must be there to take it.
        std::filesystem::path directory = decision.file.parent_path();
        if (directory.empty()) directory = ".";
        const std::string shown = TerminalText(directory.string());
        struct stat info {};
        if (::stat(directory.c_str(), &info) != 0) {
            decision.why = "cannot be created: its directory " + shown + ": " + SystemError(errno);
            decision.target = Target::Refuse;
        } else if (!S_ISDIR(info.st_mode)) {
            decision.why = "cannot be created: " + shown + " is not a directory";
            decision.target = Target::Refuse;
        } else if (::access(directory.c_str(), W_OK | X_OK) != 0) {
            decision.why = "cannot be created in " + shown + ": " + SystemError(errno);
            decision.target = Target::Refuse;
        }
    }
    return decision.target != Target::Refuse || Fail(path, decision.why, error);
}

bool SaveFile(const std::string& path, const std::string& bytes, const SavePolicy& policy, std::string* error) {
    if (path.empty()) return CheckSaveTarget(path, policy, error);
    Decision decision = Decide(path, policy);
    std::string message = decision.why;
    bool saved = false;
    switch (decision.target) {
    case Target::Refuse: break;
    case Target::WriteThrough: saved = WriteThrough(path, bytes, &message); break;
    case Target::Replace: saved = ReplaceAtomically(decision.file, bytes, &message); break;
    }
    return saved || Fail(path, message, error);
}

}  // namespace sim
