#include "base/FileSecretStore.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

#include "base/Crypto.h"
#include "base/PrivateFile.h"

namespace orvanta::base {
namespace {

namespace fs = std::filesystem;

constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kGroupAndOtherBits = 0077;

// An item file: magic, the data's length (8 bytes, big-endian), the data, and the SHA-256 of all
// that precedes it. A file cut short or changed on disk fails the check instead of handing back
// a partial secret.
constexpr std::string_view kMagic = "ORVSEC1\n";
constexpr std::size_t kLengthBytes = 8;
constexpr std::size_t kHeaderBytes = kMagic.size() + kLengthBytes;
constexpr std::size_t kDigestBytes = std::tuple_size_v<Sha256Digest>;
constexpr std::size_t kMaxFileBytes = kHeaderBytes + FileSecretStore::kMaxItemBytes + kDigestBytes;

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

private:
    int fd_;
};

std::unexpected<SecretStoreError> fail(std::int32_t status) { return std::unexpected(SecretStoreError{status}); }
std::unexpected<SecretStoreError> failWithErrno() { return fail(errno); }

// Refuses what another user could have written or could read.
std::expected<void, SecretStoreError> checkOwnership(const struct stat& st) {
    if (st.st_uid != ::geteuid()) return fail(FileSecretStore::kStatusForeignOwner);
    if ((st.st_mode & kGroupAndOtherBits) != 0) return fail(FileSecretStore::kStatusOpenToOthers);
    return {};
}

// The store's directory, or nothing when it does not exist yet.
std::expected<std::optional<Fd>, SecretStoreError> openDirectory(const fs::path& directory) {
    if (directory.empty()) return fail(FileSecretStore::kStatusNoDirectory);
    Fd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        if (error == ENOENT) return std::optional<Fd>{};
        // With O_DIRECTORY a symbolic link reads as "not a directory"; name it for what it is.
        struct stat link {};
        if (error == ENOTDIR && ::lstat(directory.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) return fail(ELOOP);
        return fail(error);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return failWithErrno();
    if (auto owned = checkOwnership(st); !owned) return std::unexpected(owned.error());
    return std::optional<Fd>(std::move(fd));
}

std::expected<Fd, SecretStoreError> openOrCreateDirectory(const fs::path& directory) {
    auto existing = openDirectory(directory);
    if (!existing) return std::unexpected(existing.error());
    if (*existing) return std::move(**existing);
    fs::path partial;
    for (const fs::path& part : directory) {
        partial /= part;
        if (::mkdir(partial.c_str(), kDirectoryMode) != 0 && errno != EEXIST) return failWithErrno();
    }
    auto created = openDirectory(directory);
    if (!created) return std::unexpected(created.error());
    if (!*created) return fail(ENOENT);
    return std::move(**created);
}

Bytes encodeItem(ByteView data) {
    Bytes file(kMagic.begin(), kMagic.end());
    file.reserve(kHeaderBytes + data.size() + kDigestBytes);
    const std::uint64_t length = data.size();
    appendBigEndian(file, length);
    file.insert(file.end(), data.begin(), data.end());
    const Sha256Digest digest = sha256(file);
    file.insert(file.end(), digest.begin(), digest.end());
    return file;
}

std::expected<Bytes, SecretStoreError> decodeItem(ByteView file) {
    if (file.size() < kHeaderBytes + kDigestBytes || asText(file.first(kMagic.size())) != kMagic) {
        return fail(FileSecretStore::kStatusCorruptItem);
    }
    const auto length = readBigEndian<std::uint64_t>(file.subspan(kMagic.size()));
    if (length != file.size() - kHeaderBytes - kDigestBytes) return fail(FileSecretStore::kStatusCorruptItem);
    const ByteView body = file.first(file.size() - kDigestBytes);
    const Sha256Digest digest = sha256(body);
    if (!constantTimeEqual(digest, file.last(kDigestBytes))) return fail(FileSecretStore::kStatusCorruptItem);
    const ByteView data = body.subspan(kHeaderBytes);
    return Bytes(data.begin(), data.end());
}

std::expected<Bytes, SecretStoreError> readBounded(int fd) {
    Bytes file;
    std::uint8_t chunk[16384];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failWithErrno();
        if (n == 0) return file;
        file.insert(file.end(), chunk, chunk + n);
        if (file.size() > kMaxFileBytes) return fail(FileSecretStore::kStatusItemTooLarge);
    }
}

bool isPlainNameByte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

void appendEncoded(std::string& out, std::string_view name) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    for (unsigned char c : name) {
        if (isPlainNameByte(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHexDigits[c >> 4]);
            out.push_back(kHexDigits[c & 0x0F]);
        }
    }
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/') {
        return found->pw_dir;
    }
    return {};
}

}  // namespace

FileSecretStore::FileSecretStore(std::filesystem::path directory) : directory_(std::move(directory)) {
    if (auto existing = openDirectory(directory_); existing && *existing)
        removeStalePrivateTemporariesAt((*existing)->get());
}

std::filesystem::path FileSecretStore::defaultDirectory() {
    // The base-directory convention ignores a relative XDG_DATA_HOME.
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/') {
        return fs::path(data) / "orvanta" / "secrets";
    }
    const std::string home = homeDirectory();
    if (home.empty()) return {};
    return fs::path(home) / ".local" / "share" / "orvanta" / "secrets";
}

std::string FileSecretStore::fileName(std::string_view service, std::string_view account) {
    std::string name = "item.";
    appendEncoded(name, service);
    name.push_back('.');
    appendEncoded(name, account);
    return name;
}

std::expected<std::optional<Bytes>, SecretStoreError> FileSecretStore::load(const std::string& service,
                                                                            const std::string& account) {
    auto directory = openDirectory(directory_);
    if (!directory) return std::unexpected(directory.error());
    if (!*directory) return std::optional<Bytes>{};
    const std::string name = fileName(service, account);
    // Non-blocking, so that a pipe put in an item's place cannot stall the open.
    Fd fd(::openat((*directory)->get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return std::optional<Bytes>{};
        return failWithErrno();
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return failWithErrno();
    if (S_ISDIR(st.st_mode)) return fail(EISDIR);
    if (!S_ISREG(st.st_mode)) return fail(kStatusNotRegularFile);
    if (auto owned = checkOwnership(st); !owned) return std::unexpected(owned.error());
    if (static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes) return fail(kStatusItemTooLarge);
    auto file = readBounded(fd.get());
    if (!file) return std::unexpected(file.error());
    auto data = decodeItem(*file);
    if (!data) return std::unexpected(data.error());
    return std::optional<Bytes>(std::move(*data));
}

std::expected<void, SecretStoreError> FileSecretStore::save(const std::string& service, const std::string& account,
                                                            ByteView data) {
    if (data.size() > kMaxItemBytes) return fail(kStatusItemTooLarge);
    auto directory = openOrCreateDirectory(directory_);
    if (!directory) return std::unexpected(directory.error());
    if (auto written = writePrivateFileAt(directory->get(), fileName(service, account), encodeItem(data)); !written) {
        return fail(written.error());
    }
    return {};
}

std::expected<void, SecretStoreError> FileSecretStore::remove(const std::string& service, const std::string& account) {
    auto directory = openDirectory(directory_);
    if (!directory) return std::unexpected(directory.error());
    if (!*directory) return {};
    const int dirFd = (*directory)->get();
    if (::unlinkat(dirFd, fileName(service, account).c_str(), 0) != 0) {
        if (errno == ENOENT) return {};
        return failWithErrno();
    }
    if (::fsync(dirFd) != 0) return failWithErrno();
    return {};
}

}  // namespace orvanta::base
