#include "app/open_file_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class OpenFileCache : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("websrv-open-files-" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    // Writes `name` with `bytes`, opens it and offers it to `cache`.
    std::string offer(open_file_cache& cache, const std::string& name, const std::string& bytes) {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        const open_file file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat info {};
        fstat(file.get(), &info);
        cache.keep(path, file, info);
        return path;
    }

    // The kept file by `path`, looked at by name as a request would.
    static int kept_descriptor(open_file_cache& cache, const std::string& path) {
        struct stat info {};
        return cache.find(path, &info).get();
    }

    fs::path dir;
};

// Only small regular files are kept, at most `capacity` of them, the least
// recently used going first; a name that leads to another file, or to none,
// is not answered with the kept one, which is closed.
TEST_F(OpenFileCache, KeepsFewSmallFilesWhileTheirNamesLeadToThem) {
    open_file_cache none(0);
    EXPECT_EQ(kept_descriptor(none, offer(none, "a", "a")), -1);

    open_file_cache cache(2);
    const std::string a = offer(cache, "a", "a");
    const std::string big =
        offer(cache, "big", std::string(open_file_cache::largest_kept + 1, 'b'));
    EXPECT_NE(kept_descriptor(cache, a), -1);
    EXPECT_EQ(kept_descriptor(cache, big), -1);

    const std::string b = offer(cache, "b", "b");
    EXPECT_NE(kept_descriptor(cache, a), -1);  // a is now used after b
    const std::string c = offer(cache, "c", "c");
    EXPECT_EQ(cache.size(), 2u);
    EXPECT_EQ(kept_descriptor(cache, b), -1);
    EXPECT_NE(kept_descriptor(cache, a), -1);
    EXPECT_NE(kept_descriptor(cache, c), -1);

    std::ofstream(dir / "new", std::ios::binary) << "a";
    fs::rename(dir / "new", a);
    EXPECT_EQ(kept_descriptor(cache, a), -1);
    fs::remove(c);
    EXPECT_EQ(kept_descriptor(cache, c), -1);
    EXPECT_EQ(cache.size(), 0u) << "files renamed over or deleted are not held open";
}

// A descriptor released while the cache shares it is a copy: the kept one
// stays open. Released by its only holder, it is the descriptor itself.
TEST_F(OpenFileCache, ReleasingASharedFileGivesACopy) {
    open_file_cache cache(1);
    const std::string path = offer(cache, "a", "a");
    struct stat info {};
    open_file shared = cache.find(path, &info);
    const int kept = shared.get();
    const int copy = shared.release();
    EXPECT_NE(copy, kept);
    EXPECT_NE(fcntl(copy, F_GETFD), -1);
    EXPECT_NE(fcntl(kept, F_GETFD), -1);
    close(copy);

    open_file alone(dup(kept));
    const int own = alone.get();
    EXPECT_EQ(alone.release(), own);
    EXPECT_NE(fcntl(own, F_GETFD), -1);
    close(own);
}

}  // namespace
