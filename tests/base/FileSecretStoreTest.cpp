#include "base/FileSecretStore.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#include "support/TempDir.h"

namespace orvanta::base {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kOtherUid = 65534;

class FileSecretStoreTest : public ::testing::Test {
protected:
    fs::path itemPath(const std::string& service, const std::string& account) const {
        return dir_ / FileSecretStore::fileName(service, account);
    }

    static std::optional<std::string> loadText(FileSecretStore& store, const std::string& account) {
        auto loaded = store.load("svc", account);
        EXPECT_TRUE(loaded.has_value());
        if (!loaded || !*loaded) return std::nullopt;
        return std::string(asText(**loaded));
    }

    static std::vector<fs::path> entries(const fs::path& dir) {
        std::vector<fs::path> out;
        for (const auto& entry : fs::directory_iterator(dir)) out.push_back(entry.path().filename());
        return out;
    }

    orvanta::testing::TempDir temp_{"secrets"};
    fs::path base_ = temp_.path();
    fs::path dir_ = base_ / "data" / "secrets";
};

TEST_F(FileSecretStoreTest, SavesLoadsReplacesAndRemovesItems) {
    FileSecretStore store(dir_);
    EXPECT_EQ(loadText(store, "devices"), std::nullopt);
    EXPECT_TRUE(store.remove("svc", "devices").has_value());

    ASSERT_TRUE(store.save("svc", "devices", asBytes("[1]")).has_value());
    EXPECT_EQ(loadText(store, "devices"), "[1]");
    ASSERT_TRUE(store.save("svc", "devices", asBytes("")).has_value());
    EXPECT_EQ(loadText(store, "devices"), "");
    ASSERT_TRUE(store.save("svc", "host-id", asBytes("ID")).has_value());

    EXPECT_EQ(fs::status(dir_).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::status(itemPath("svc", "devices")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    ASSERT_TRUE(store.remove("svc", "devices").has_value());
    EXPECT_EQ(loadText(store, "devices"), std::nullopt);
    EXPECT_EQ(loadText(store, "host-id"), "ID");
}

TEST_F(FileSecretStoreTest, KeepsEveryNameInsideItsDirectoryAndApart) {
    FileSecretStore store(dir_);
    const std::vector<std::pair<std::string, std::string>> names = {
        {"a.b", "c"}, {"a", "b.c"}, {"..", ".."}, {"../x", "/etc/y"}, {"", ""}, {"%2E", "."}, {"サービス", "端末"}};
    for (std::size_t i = 0; i < names.size(); ++i) {
        ASSERT_TRUE(store.save(names[i].first, names[i].second, asBytes(std::to_string(i))).has_value());
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto loaded = store.load(names[i].first, names[i].second);
        ASSERT_TRUE(loaded && *loaded);
        EXPECT_EQ(asText(**loaded), std::to_string(i));
    }
    EXPECT_EQ(entries(dir_).size(), names.size());
    EXPECT_EQ(entries(base_ / "data"), std::vector<fs::path>{"secrets"});
}

TEST_F(FileSecretStoreTest, ReplacesAnItemByRenameAndLeavesNoTemporaryFile) {
    FileSecretStore store(dir_);
    ASSERT_TRUE(store.save("svc", "devices", asBytes("old")).has_value());
    struct stat oldStat {};
    ASSERT_EQ(::stat(itemPath("svc", "devices").c_str(), &oldStat), 0);
    ASSERT_TRUE(store.save("svc", "devices", asBytes("new")).has_value());
    struct stat newStat {};
    ASSERT_EQ(::stat(itemPath("svc", "devices").c_str(), &newStat), 0);
    // A new inode: the old content was never overwritten in place.
    EXPECT_NE(oldStat.st_ino, newStat.st_ino);
    EXPECT_EQ(entries(dir_), std::vector<fs::path>{FileSecretStore::fileName("svc", "devices")});

    // What a write interrupted by a crash leaves behind is never read as the item.
    std::ofstream(dir_ / ".orvanta-tmp.0011223344556677") << "ORVSEC1\n";
    EXPECT_EQ(loadText(store, "devices"), "new");
}

// A save holds an exclusive flock on its temporary file until the rename; one that nobody holds
// is what a killed writer left.
TEST_F(FileSecretStoreTest, OpeningRemovesTheTemporaryFilesOfInterruptedSavesOnly) {
    ASSERT_TRUE(FileSecretStore(dir_).save("svc", "devices", asBytes("[1]")).has_value());
    const fs::path killed = dir_ / ".orvanta-tmp.00000000000000aa";
    const fs::path live = dir_ / ".orvanta-tmp.00000000000000bb";

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        const int fd = ::open(killed.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || ::write(fd, "ORVSEC1\n", 8) != 8) ::_exit(1);
        if (::write(ready[1], "x", 1) != 1) ::_exit(1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::kill(writer, SIGKILL);
    ASSERT_EQ(::waitpid(writer, nullptr, 0), writer);

    const int held = ::open(live.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    std::ofstream(dir_ / ".orvanta-tmp.0011223344556677") << "ORVSEC1\n";  // unlocked: an interrupted save

    const auto item = fs::path(FileSecretStore::fileName("svc", "devices"));
    FileSecretStore reopened(dir_);
    auto names = entries(dir_);
    std::ranges::sort(names);
    EXPECT_EQ(names, (std::vector<fs::path>{live.filename(), item}));

    ::close(held);
    FileSecretStore again(dir_);
    EXPECT_EQ(entries(dir_), std::vector<fs::path>{item});
    EXPECT_EQ(loadText(again, "devices"), "[1]");
}

TEST_F(FileSecretStoreTest, OpeningNeverRemovesTheFileOfASaveInProgress) {
    FileSecretStore writer(dir_);
    ASSERT_TRUE(writer.save("svc", "devices", asBytes("0")).has_value());
    std::atomic<bool> saving = true;
    std::thread opener([&] {
        while (saving) FileSecretStore reopened(dir_);
    });
    int failures = 0;
    for (int i = 0; i < 100; ++i) failures += writer.save("svc", "devices", asBytes(std::to_string(i))) ? 0 : 1;
    saving = false;
    opener.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(loadText(writer, "devices"), "99");
}

TEST_F(FileSecretStoreTest, RefusesDamagedItemsAndKeepsThem) {
    struct Case {
        const char* what;
        std::function<void(const fs::path& item)> damage;
        std::int32_t status;
    };
    const std::vector<Case> cases = {
        {"flipped byte",
         [](const fs::path& item) {
             std::string bytes = orvanta::testing::readFile(item);
             bytes[bytes.size() / 2] ^= 0x01;
             std::ofstream(item, std::ios::binary | std::ios::trunc) << bytes;
         },
         FileSecretStore::kStatusCorruptItem},
        {"truncated", [](const fs::path& item) { fs::resize_file(item, fs::file_size(item) - 3); },
         FileSecretStore::kStatusCorruptItem},
        {"empty", [](const fs::path& item) { fs::resize_file(item, 0); }, FileSecretStore::kStatusCorruptItem},
        {"plain text", [](const fs::path& item) { std::ofstream(item, std::ios::trunc) << "secret"; },
         FileSecretStore::kStatusCorruptItem},
        {"readable by others",
         [](const fs::path& item) { fs::permissions(item, fs::perms::others_read, fs::perm_options::add); },
         FileSecretStore::kStatusOpenToOthers},
        {"writable by the group",
         [](const fs::path& item) { fs::permissions(item, fs::perms::group_write, fs::perm_options::add); },
         FileSecretStore::kStatusOpenToOthers},
        {"symbolic link",
         [](const fs::path& item) {
             fs::rename(item, item.string() + "-target");
             fs::create_symlink(item.string() + "-target", item);
         },
         ELOOP},
        {"directory",
         [](const fs::path& item) {
             fs::remove(item);
             fs::create_directory(item);
         },
         EISDIR},
        {"pipe",
         [](const fs::path& item) {
             fs::remove(item);
             ASSERT_EQ(::mkfifo(item.c_str(), 0600), 0);
         },
         FileSecretStore::kStatusNotRegularFile},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir_);
        FileSecretStore store(dir_);
        ASSERT_TRUE(store.save("svc", "devices", asBytes("[\"kept\"]")).has_value());
        ASSERT_TRUE(store.save("svc", "host-id", asBytes("ID")).has_value());
        const fs::path item = itemPath("svc", "devices");
        c.damage(item);
        // Reading a pipe would block; only a file's bytes can be compared.
        const bool regular = fs::is_regular_file(item);
        const std::string damaged = regular ? orvanta::testing::readFile(item) : "";

        auto loaded = store.load("svc", "devices");
        ASSERT_FALSE(loaded.has_value());
        EXPECT_EQ(loaded.error().status, c.status);
        EXPECT_EQ(loaded.error().description(),
                  "Keychainを読み書きできませんでした（" + std::to_string(c.status) + "）。");
        if (regular) {
            EXPECT_EQ(orvanta::testing::readFile(item), damaged);
        }
        EXPECT_EQ(loadText(store, "host-id"), "ID");
    }
}

TEST_F(FileSecretStoreTest, ASaveReplacesADamagedItemButNotADirectory) {
    FileSecretStore store(dir_);
    ASSERT_TRUE(store.save("svc", "devices", asBytes("old")).has_value());
    fs::resize_file(itemPath("svc", "devices"), 5);
    ASSERT_TRUE(store.save("svc", "devices", asBytes("new")).has_value());
    EXPECT_EQ(loadText(store, "devices"), "new");

    fs::create_directories(itemPath("svc", "host-id") / "inside");
    auto saved = store.save("svc", "host-id", asBytes("ID"));
    ASSERT_FALSE(saved.has_value());
    EXPECT_EQ(saved.error().status, EISDIR);
    auto removed = store.remove("svc", "host-id");
    ASSERT_FALSE(removed.has_value());
    EXPECT_EQ(removed.error().status, EISDIR);
    EXPECT_TRUE(fs::exists(itemPath("svc", "host-id") / "inside"));
    EXPECT_EQ(entries(dir_).size(), 2u);  // no temporary file left behind
}

TEST_F(FileSecretStoreTest, RefusesADirectoryThatOthersCanReachOrThatIsNoDirectory) {
    struct Case {
        const char* what;
        std::function<void(const fs::path& dir)> change;
        std::int32_t status;
    };
    const std::vector<Case> cases = {
        {"group readable",
         [](const fs::path& dir) {
             fs::permissions(dir, fs::perms::group_read | fs::perms::group_exec, fs::perm_options::add);
         },
         FileSecretStore::kStatusOpenToOthers},
        {"world writable",
         [](const fs::path& dir) { fs::permissions(dir, fs::perms::others_all, fs::perm_options::add); },
         FileSecretStore::kStatusOpenToOthers},
        {"symbolic link",
         [](const fs::path& dir) {
             fs::rename(dir, dir.string() + "-real");
             fs::create_directory_symlink(dir.string() + "-real", dir);
         },
         ELOOP},
        {"file",
         [](const fs::path& dir) {
             fs::remove_all(dir);
             std::ofstream(dir) << "x";
         },
         ENOTDIR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir_.parent_path());
        FileSecretStore store(dir_);
        ASSERT_TRUE(store.save("svc", "devices", asBytes("kept")).has_value());
        c.change(dir_);
        auto loaded = store.load("svc", "devices");
        ASSERT_FALSE(loaded.has_value());
        EXPECT_EQ(loaded.error().status, c.status);
        auto saved = store.save("svc", "devices", asBytes("new"));
        ASSERT_FALSE(saved.has_value());
        EXPECT_EQ(saved.error().status, c.status);
        auto removed = store.remove("svc", "devices");
        ASSERT_FALSE(removed.has_value());
        EXPECT_EQ(removed.error().status, c.status);
    }
}

TEST_F(FileSecretStoreTest, RefusesItemsAndDirectoriesOfAnotherUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "changing an owner needs root";
    FileSecretStore store(dir_);
    ASSERT_TRUE(store.save("svc", "devices", asBytes("kept")).has_value());
    ASSERT_EQ(::chown(itemPath("svc", "devices").c_str(), kOtherUid, kOtherUid), 0);
    auto loaded = store.load("svc", "devices");
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.error().status, FileSecretStore::kStatusForeignOwner);

    ASSERT_EQ(::chown(dir_.c_str(), kOtherUid, kOtherUid), 0);
    auto saved = store.save("svc", "host-id", asBytes("ID"));
    ASSERT_FALSE(saved.has_value());
    EXPECT_EQ(saved.error().status, FileSecretStore::kStatusForeignOwner);
}

TEST_F(FileSecretStoreTest, AFailedWriteKeepsTheStoredItem) {
    FileSecretStore store(dir_);
    ASSERT_TRUE(store.save("svc", "devices", asBytes("kept")).has_value());

    // A file-size limit makes the write fail the way a full disk does, part-way through.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    auto result = store.save("svc", "devices", asBytes(std::string(1000, 'x')));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().status, EFBIG);
    EXPECT_EQ(loadText(store, "devices"), "kept");
    EXPECT_EQ(entries(dir_).size(), 1u);
}

TEST_F(FileSecretStoreTest, RefusesItemsAboveTheSizeLimit) {
    FileSecretStore store(dir_);
    const Bytes big(FileSecretStore::kMaxItemBytes + 1, 0x41);
    auto saved = store.save("svc", "devices", big);
    ASSERT_FALSE(saved.has_value());
    EXPECT_EQ(saved.error().status, FileSecretStore::kStatusItemTooLarge);
    EXPECT_TRUE(store.save("svc", "devices", ByteView(big).first(FileSecretStore::kMaxItemBytes)).has_value());
}

TEST(FileSecretStoreLocation, FollowsTheDataHomeConvention) {
    const char* oldData = std::getenv("XDG_DATA_HOME");
    const char* oldHome = std::getenv("HOME");
    const std::string savedData = oldData ? oldData : "";
    const std::string savedHome = oldHome ? oldHome : "";

    ::setenv("HOME", "/home/user", 1);
    ::setenv("XDG_DATA_HOME", "/data", 1);
    EXPECT_EQ(FileSecretStore::defaultDirectory(), fs::path("/data/orvanta/secrets"));
    ::setenv("XDG_DATA_HOME", "relative", 1);
    EXPECT_EQ(FileSecretStore::defaultDirectory(), fs::path("/home/user/.local/share/orvanta/secrets"));
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(FileSecretStore::defaultDirectory(), fs::path("/home/user/.local/share/orvanta/secrets"));

    oldData ? ::setenv("XDG_DATA_HOME", savedData.c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
    oldHome ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");
}

TEST(FileSecretStoreLocation, AStoreWithoutADirectoryFailsClearly) {
    FileSecretStore store{fs::path{}};
    auto loaded = store.load("svc", "devices");
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.error().status, FileSecretStore::kStatusNoDirectory);
    EXPECT_FALSE(store.save("svc", "devices", asBytes("x")).has_value());
}

}  // namespace
}  // namespace orvanta::base
