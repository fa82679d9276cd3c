// Saving the registry file and screenshots: a regular file is replaced atomically (at the file a
// symbolic link names), a character device or a screenshot's FIFO is written through, and nothing
// that is not a regular file is ever replaced by one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/resource.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>

#include "kernel/regfile.h"
#include "support/file_save.h"
#include "support/png_writer.h"

namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "file_save_test.XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A null device of the test's own (root may make one); elsewhere the system's, which a user who
// is not root could not replace anyway.
fs::path NullDevice(const fs::path& dir) {
    fs::path node = dir / "null";
    return ::mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 ? node : fs::path("/dev/null");
}

void MakeSocket(const fs::path& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    ::close(fd);
}

enum class Kind { Regular, Fifo, CharDevice, Directory, Socket };

Kind KindOf(const fs::path& path) {
    fs::file_status status = fs::status(path);
    switch (status.type()) {
    case fs::file_type::fifo: return Kind::Fifo;
    case fs::file_type::character: return Kind::CharDevice;
    case fs::file_type::directory: return Kind::Directory;
    case fs::file_type::socket: return Kind::Socket;
    default: return Kind::Regular;
    }
}

struct SaveCase {
    const char* label;
    bool screenshot;                                   // WritePng, else SaveRegFileToPath
    std::function<fs::path(const fs::path&)> prepare;  // makes what the path names; returns the path
    bool saved;
    Kind kindAfter;                                    // of what the path names afterwards
    bool linkStays;                                    // the path is a symbolic link before and after
    const char* refusal;                               // part of the error when not saved
};

void PrintTo(const SaveCase& value, std::ostream* out) { *out << value.label; }

class SavingAFile : public ::testing::TestWithParam<SaveCase> {};

TEST_P(SavingAFile, ReplacesOnlyRegularFiles) {
    const SaveCase& c = GetParam();
    TempDir dir;
    fs::path path = c.prepare(dir.Path());
    sim::Registry registry;
    registry.SetDword("HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn", "Value", 7);
    sim::Image image{2, 2, {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF}};
    const std::string expected = c.screenshot ? std::string("\x89PNG") : sim::SaveRegFile(registry);

    // A reader takes what is written through a FIFO.
    std::future<std::string> reader;
    if (KindOf(path) == Kind::Fifo && c.saved) reader = std::async(std::launch::async, [path] { return ReadFile(path); });

    std::string error;
    bool saved = c.screenshot ? sim::WritePng(path, image, &error) : sim::SaveRegFileToPath(path, registry, &error);
    EXPECT_EQ(saved, c.saved) << error;
    EXPECT_EQ(KindOf(path), c.kindAfter);
    EXPECT_EQ(fs::is_symlink(path), c.linkStays);
    if (!c.saved) {
        EXPECT_EQ(error.find(path.string()), 0u) << error;
        EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    } else if (reader.valid()) {
        EXPECT_EQ(reader.get().substr(0, expected.size()), expected);
    } else if (c.kindAfter == Kind::Regular) {
        EXPECT_EQ(ReadFile(path).substr(0, expected.size()), expected);
    }
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << "left behind: " << entry.path();
    }
}

fs::path Fifo(const fs::path& dir) {
    fs::path path = dir / "fifo";
    EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
    return path;
}

fs::path LinkTo(const fs::path& dir, const fs::path& target) {
    fs::path link = dir / "link";
    fs::create_symlink(target, link);
    return link;
}

INSTANTIATE_TEST_SUITE_P(
    Targets, SavingAFile,
    ::testing::Values(
        SaveCase{"RegistryOverARegularFile", false,
                 [](const fs::path& d) {
                     std::ofstream(d / "machine.reg") << "old";
                     return d / "machine.reg";
                 },
                 true, Kind::Regular, false, ""},
        SaveCase{"ScreenshotThroughALinkToARegularFile", true,
                 [](const fs::path& d) {
                     std::ofstream(d / "shot.png") << "old";
                     return LinkTo(d, "shot.png");
                 },
                 true, Kind::Regular, true, ""},
        SaveCase{"ScreenshotThroughADanglingLink", true, [](const fs::path& d) { return LinkTo(d, "new.png"); }, true,
                 Kind::Regular, true, ""},
        SaveCase{"RegistryToANewFile", false, [](const fs::path& d) { return d / "new.reg"; }, true, Kind::Regular,
                 false, ""},
        SaveCase{"RegistryToACharacterDevice", false, [](const fs::path& d) { return NullDevice(d); }, true,
                 Kind::CharDevice, false, ""},
        SaveCase{"ScreenshotThroughALinkToACharacterDevice", true,
                 [](const fs::path& d) { return LinkTo(d, NullDevice(d)); }, true, Kind::CharDevice, true, ""},
        SaveCase{"ScreenshotIntoAFifo", true, [](const fs::path& d) { return Fifo(d); }, true, Kind::Fifo, false, ""},
        SaveCase{"RegistryIntoAFifo", false, [](const fs::path& d) { return Fifo(d); }, false, Kind::Fifo, false,
                 "FIFO"},
        SaveCase{"RegistryThroughALinkToAFifo", false, [](const fs::path& d) { return LinkTo(d, Fifo(d)); }, false,
                 Kind::Fifo, true, "FIFO"},
        SaveCase{"ScreenshotOverADirectory", true,
                 [](const fs::path& d) {
                     fs::create_directory(d / "taken");
                     return d / "taken";
                 },
                 false, Kind::Directory, false, "directory"},
        SaveCase{"RegistryOverASocket", false,
                 [](const fs::path& d) {
                     MakeSocket(d / "socket");
                     return d / "socket";
                 },
                 false, Kind::Socket, false, "socket"}),
    [](const auto& info) { return std::string(info.param.label); });

// A command checks where it will save before it does the work, and refuses what the save would
// refuse: a file whose directory is not there is refused then, not after the run.
TEST(SaveTarget, IsRefusedBeforehandAsTheSaveWouldRefuseIt) {
    struct Case {
        const char* label;
        const char* path;   // in the test's directory, which holds the regular file "file"
        const char* refusal;   // empty: the save may go ahead
    };
    const Case cases[] = {
        {"new file", "new.reg", ""},
        {"file in a directory that is not there", "missing/new.reg", "No such file or directory"},
        {"file under a regular file", "file/new.reg", "Not a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        std::ofstream(dir.Path() / "file") << "x";
        const std::string path = (dir.Path() / c.path).string();
        std::string checked, saved;
        const bool allowed = sim::CheckSaveTarget(path, sim::SavePolicy{}, &checked);
        EXPECT_EQ(allowed, *c.refusal == '\0') << checked;
        EXPECT_EQ(sim::SaveFile(path, "bytes", sim::SavePolicy{}, &saved), allowed) << saved;
        if (!allowed) {
            EXPECT_EQ(checked.find(path), 0u) << checked;
            EXPECT_NE(checked.find(c.refusal), std::string::npos) << checked;
        }
    }
}

// A signal that comes while the new file is being written (SIGXFSZ here, which a write past the
// process's file size limit raises) is held until the temporary file is gone: the process then
// ends by it, with the old file as it was and nothing left beside it.
TEST(SaveFile, ASignalDuringTheSaveLeavesNoTemporaryFile) {
    TempDir dir;
    const fs::path path = dir.Path() / "machine.reg";
    std::ofstream(path) << "old";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit noCore{0, 0}, small{4096, 4096};
        ::setrlimit(RLIMIT_CORE, &noCore);
        ::setrlimit(RLIMIT_FSIZE, &small);
        std::string error;
        sim::SaveFile(path.string(), std::string(1 << 20, 'x'), sim::SavePolicy{}, &error);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    EXPECT_EQ(ReadFile(path), "old");
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
        EXPECT_EQ(entry.path(), path) << "left behind: " << entry.path();
    }
}

}  // namespace
