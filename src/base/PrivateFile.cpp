#include "base/PrivateFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/Crypto.h"

namespace orvanta::base {
namespace {

constexpr mode_t kFileMode = 0600;

// A write creates ".orvanta-tmp.<random>" beside its file and holds an exclusive flock on it from
// its creation to its rename, so a temporary file whose lock can be taken belongs to a write that
// ended without renaming. Creating and locking happen under a shared lock on the directory, which
// the clean-up takes exclusively, so that it never sees a new file before its lock.
constexpr std::string_view kTemporaryPrefix = ".orvanta-tmp.";

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now: the error of a delayed write may only show here.
    bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_;
};

std::unexpected<int> failWithErrno() { return std::unexpected(errno); }

std::expected<void, int> writeAll(int fd, ByteView bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failWithErrno();
        if (n == 0) return std::unexpected(EIO);
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return {};
}

std::expected<Fd, int> createLockedTemporary(int directoryFd, const std::string& name) {
    if (::flock(directoryFd, LOCK_SH) != 0) return failWithErrno();
    Fd fd(::openat(directoryFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    const int error = errno;
    const bool locked = fd && ::flock(fd.get(), LOCK_EX) == 0;
    const int lockError = errno;
    ::flock(directoryFd, LOCK_UN);
    if (!fd) return std::unexpected(error);
    if (!locked) {
        ::unlinkat(directoryFd, name.c_str(), 0);
        return std::unexpected(lockError);
    }
    return fd;
}

// Writes, flushes and closes the temporary file; the caller removes it on failure.
std::expected<void, int> fill(Fd& fd, ByteView contents) {
    // The creation mode passes through the umask; the file must end up 0600 whatever it is.
    if (::fchmod(fd.get(), kFileMode) != 0) return failWithErrno();
    if (auto written = writeAll(fd.get(), contents); !written) return written;
    if (::fsync(fd.get()) != 0) return failWithErrno();
    if (!fd.close()) return failWithErrno();
    return {};
}

std::expected<Fd, PrivateFileError> openDirectory(const std::filesystem::path& directory,
                                                  const std::filesystem::path& file) {
    const std::filesystem::path folder = directory.empty() ? std::filesystem::path(".") : directory;
    Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return std::unexpected(PrivateFileError{file, errno});
    return fd;
}

}  // namespace

std::string PrivateFileError::description() const { return path.string() + ": " + std::strerror(error); }

std::expected<void, int> writePrivateFileAt(int directoryFd, const std::string& name, ByteView contents) {
    const std::string temporary = std::string(kTemporaryPrefix) + hexLower(secureRandomBytes(8));
    auto fd = createLockedTemporary(directoryFd, temporary);
    if (!fd) return std::unexpected(fd.error());
    // A second descriptor of the same open file keeps the lock once fill() closes the first.
    const Fd lock(::fcntl(fd->get(), F_DUPFD_CLOEXEC, 0));
    auto abandon = [&](int error) {
        ::unlinkat(directoryFd, temporary.c_str(), 0);
        return std::unexpected(error);
    };
    if (!lock) return abandon(errno);
    if (auto filled = fill(*fd, contents); !filled) return abandon(filled.error());
    if (::renameat(directoryFd, temporary.c_str(), directoryFd, name.c_str()) != 0) return abandon(errno);
    // The rename itself is only durable once the directory is.
    if (::fsync(directoryFd) != 0) return failWithErrno();
    return {};
}

std::expected<void, PrivateFileError> writePrivateFile(const std::filesystem::path& path, ByteView contents) {
    auto directory = openDirectory(path.parent_path(), path);
    if (!directory) return std::unexpected(directory.error());
    if (auto written = writePrivateFileAt(directory->get(), path.filename().string(), contents); !written) {
        return std::unexpected(PrivateFileError{path, written.error()});
    }
    return {};
}

std::expected<void, PrivateFileError> writePrivateFile(const std::filesystem::path& path, std::string_view contents) {
    return writePrivateFile(path, asBytes(contents));
}

void removeStalePrivateTemporariesAt(int directoryFd) {
    // Best effort: whatever fails here only leaves a file for the next time.
    if (::flock(directoryFd, LOCK_EX | LOCK_NB) != 0) return;  // a write is creating its file
    const int listingFd = ::fcntl(directoryFd, F_DUPFD_CLOEXEC, 0);
    DIR* listing = listingFd >= 0 ? ::fdopendir(listingFd) : nullptr;
    if (!listing) {
        if (listingFd >= 0) ::close(listingFd);
        ::flock(directoryFd, LOCK_UN);
        return;
    }
    // fdopendir's stream starts where the shared offset is; the clean-up reads the whole folder.
    ::rewinddir(listing);
    while (const dirent* entry = ::readdir(listing)) {
        if (!isPrivateTemporaryName(entry->d_name)) continue;
        const Fd fd(::openat(directoryFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat st {};
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) ::unlinkat(directoryFd, entry->d_name, 0);
    }
    ::closedir(listing);
    ::flock(directoryFd, LOCK_UN);
}

void removeStalePrivateTemporaries(const std::filesystem::path& directory) {
    const Fd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) removeStalePrivateTemporariesAt(fd.get());
}

bool isPrivateTemporaryName(std::string_view name) { return name.starts_with(kTemporaryPrefix); }

}  // namespace orvanta::base
