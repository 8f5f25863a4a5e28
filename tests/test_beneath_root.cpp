// Directories opened beneath a real temporary root, with openat2 and with
// the step-by-step walk that runs where openat2 is missing or refused: a
// symbolic link out of the root is refused either way.
#include "app/beneath_root.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "loopback.h"

namespace {

namespace fs = std::filesystem;

TEST(BeneathRoot, OpensDirectoriesOfTheRootAndNothingOutsideItWithOrWithoutOpenat2) {
    const fs::path top = fs::temp_directory_path() / ("websrv-beneath-" + std::to_string(getpid()));
    const fs::path root = top / "root";
    fs::create_directories(root / "sub" / "deeper");
    fs::create_directories(top / "outside");
    fs::create_directory_symlink("../outside", root / "out");
    fs::create_directory_symlink("../../outside", root / "sub" / "out");
    fs::create_directory_symlink(top / "outside", root / "absolute");
    fs::create_directory_symlink("/proc/self/cwd", root / "magic");
    std::ofstream(root / "file.txt") << "f";

    const struct {
        const char* resolved;
        const char* expected;  // the directory opened, relative to `top`; null: refused
    } rows[] = {
        {"", "root"},          {"sub", "root/sub"},     {"sub/deeper/", "root/sub/deeper"},
        {"out", nullptr},      {"sub/out", nullptr},    {"absolute", nullptr},
        {"magic", nullptr},    {"../outside", nullptr}, {"missing", nullptr},
        {"file.txt", nullptr},
    };
    const int descriptors = open_descriptor_count();
    for (int refusal : {0, ENOSYS, EPERM}) {
        beneath_root_refuse_openat2 = refusal;
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.resolved) + ", openat2 refused with " +
                         std::to_string(refusal));
            const int fd = open_beneath_root(root.string() + "/", row.resolved);
            if (!row.expected) {
                EXPECT_EQ(fd, -1);
                if (fd != -1) close(fd);
                continue;
            }
            ASSERT_NE(fd, -1) << strerror(errno);
            struct stat opened {};
            struct stat expected {};
            ASSERT_EQ(fstat(fd, &opened), 0);
            ASSERT_EQ(stat((top / row.expected).c_str(), &expected), 0);
            EXPECT_EQ(opened.st_ino, expected.st_ino);
            close(fd);
        }
    }
    beneath_root_refuse_openat2 = 0;
    EXPECT_EQ(open_descriptor_count(), descriptors);
    fs::remove_all(top);
}

}  // namespace
