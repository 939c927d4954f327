#include "host/controller/HostSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orvanta::host {
namespace {

std::string systemError() { return std::strerror(errno); }

}  // namespace

std::expected<void, PrivateFileError> writePrivateFile(const std::filesystem::path& path, std::string_view contents) {
    auto fail = [&path](std::string description) {
        return std::unexpected(PrivateFileError{path, std::move(description)});
    };
    std::string temporary = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    // mkstemp creates the file with mode 0600, so the code is never readable by others.
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return fail(systemError());
    auto abandon = [&](std::string description) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return fail(std::move(description));
    };
    std::string_view rest = contents;
    while (!rest.empty()) {
        const ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return abandon(systemError());
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::fsync(fd) != 0) return abandon(systemError());
    if (::close(fd) != 0) {
        ::unlink(temporary.c_str());
        return fail(systemError());
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string description = systemError();
        ::unlink(temporary.c_str());
        return fail(description);
    }
    return {};
}

}  // namespace orvanta::host
