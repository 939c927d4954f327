// The SecretStore kept in files: one file per service and account, mode 0600, in a directory of
// mode 0700 owned by this user. A save replaces its file atomically, so an item is always either
// its old or its new content; a file that fails its checksum is reported, never returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/SecretStore.h"

namespace orvanta::base {

class FileSecretStore final : public SecretStore {
public:
    // Statuses of the store's own checks. Every other failure carries the errno value of the
    // system call that failed (EACCES 13, ENOTDIR 20, EISDIR 21, ENOSPC 28, ELOOP 40 for a
    // symbolic link where the directory or an item belongs, ...).
    static constexpr std::int32_t kStatusCorruptItem = -1;     // bad header, length or checksum
    static constexpr std::int32_t kStatusForeignOwner = -2;    // directory or item owned by another user
    static constexpr std::int32_t kStatusOpenToOthers = -3;    // directory or item with group or other bits
    static constexpr std::int32_t kStatusNotRegularFile = -4;  // item path holds a device, socket or pipe
    static constexpr std::int32_t kStatusItemTooLarge = -5;
    static constexpr std::int32_t kStatusNoDirectory = -6;  // no home directory to keep the store in

    static constexpr std::size_t kMaxItemBytes = std::size_t{4} << 20;

    // `directory` holds the item files directly; it is created (mode 0700) on the first save.
    // Temporary files left by saves that never finished (a writer killed mid-write) are removed.
    explicit FileSecretStore(std::filesystem::path directory);

    // "$XDG_DATA_HOME/orvanta/secrets" when that variable is an absolute path, otherwise
    // "<home>/.local/share/orvanta/secrets"; empty when no home directory is known.
    static std::filesystem::path defaultDirectory();

    // The file of an item: "item." + service + "." + account, each with every byte outside
    // [A-Za-z0-9_-] written as "%XX", so that no name can leave the directory or clash.
    static std::string fileName(std::string_view service, std::string_view account);

    const std::filesystem::path& directory() const { return directory_; }

    std::expected<std::optional<Bytes>, SecretStoreError> load(const std::string& service,
                                                               const std::string& account) override;
    std::expected<void, SecretStoreError> save(const std::string& service, const std::string& account,
                                               ByteView data) override;
    std::expected<void, SecretStoreError> remove(const std::string& service, const std::string& account) override;

private:
    std::filesystem::path directory_;
};

}  // namespace orvanta::base
