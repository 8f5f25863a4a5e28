// websrv --passwd in the process: a user's line added or replaced in place,
// everything else kept byte for byte, the file replaced whole, and what it
// refuses.
#include "app/passwd_command.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/password_file.h"

namespace {

namespace fs = std::filesystem;

std::string read(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class PasswdCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "websrv-passwd-XXXXXX").string();
        dir = mkdtemp(pattern.data());
        file = (dir / "users").string();
    }
    void TearDown() override { fs::remove_all(dir); }
    void write(const std::string& text, mode_t mode) {
        std::ofstream(file, std::ios::binary) << text;
        chmod(file.c_str(), mode);
    }
    mode_t mode() const {
        struct stat info {};
        stat(file.c_str(), &info);
        return info.st_mode & 07777;
    }
    // Whether the file lets `user` in with `password`, and takes every line.
    bool lets_in(const std::string& user, const std::string& password) const {
        password_file users;
        std::vector<std::string> problems;
        return users.load(file, &problems) && problems.empty() && users.check(user, password, 0);
    }
    std::vector<std::string> names_in_dir() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        return names;
    }
    fs::path dir;
    std::string file;
};

TEST_F(PasswdCommand, ANewFileIsPrivateAndHoldsTheOneLine) {
    std::string told;
    ASSERT_EQ(set_password(file, "ann", "bee", &told), 0) << told;
    EXPECT_EQ(told, "added ann to " + file);
    EXPECT_EQ(mode(), 0600u);
    EXPECT_EQ(read(file).rfind("ann:$y$", 0), 0u);
    EXPECT_TRUE(lets_in("ann", "bee"));
    EXPECT_EQ(names_in_dir(), std::vector<std::string>{"users"}) << "nothing left beside it";
}

TEST_F(PasswdCommand, OnlyTheUsersLineChangesAndTheFileKeepsItsMode) {
    const std::string bob = "bob:" + hash_password_line("x", "why").substr(2);
    const std::string old_ann = hash_password_line("ann", "old");
    // ann's first line ends with CR LF and keeps it; her second line goes.
    const std::string before_ann = "\n# the users\r\n" + bob + "\n\n";
    const std::string after_ann = "# bob's twin\n" + bob.substr(0, 3) + "2" + bob.substr(3) + "\n";
    write(before_ann + old_ann + "\r\n" + after_ann + old_ann + "\n# end, without a line end",
          0640);
    std::string told;
    ASSERT_EQ(set_password(file, "ann", "new", &told), 0) << told;
    EXPECT_EQ(told,
              "replaced the password of ann in " + file + " (and removed 1 more line of ann)");
    const std::string now = read(file);
    ASSERT_EQ(now.rfind(before_ann + "ann:$y$", 0), 0u) << now;
    const size_t line_end = now.find("\r\n", before_ann.size());
    EXPECT_EQ(now.substr(line_end), "\r\n" + after_ann + "# end, without a line end");
    EXPECT_EQ(mode(), 0640u);
    EXPECT_TRUE(lets_in("ann", "new"));
    EXPECT_FALSE(lets_in("ann", "old"));
    EXPECT_TRUE(lets_in("bob", "why"));

    // A last line without a line end gets one before the new user's line.
    ASSERT_EQ(set_password(file, "cat", "six", &told), 0) << told;
    EXPECT_EQ(read(file).substr(now.size()).rfind("\ncat:$y$", 0), 0u);
    EXPECT_EQ(read(file).back(), '\n');
}

TEST_F(PasswdCommand, ASymbolicLinkStaysAndItsFileChanges) {
    const fs::path link = dir / "link";
    write(hash_password_line("ann", "old") + "\n", 0600);
    fs::create_symlink(file, link);
    std::string told;
    ASSERT_EQ(set_password(link.string(), "ann", "new", &told), 0) << told;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(lets_in("ann", "new"));
}

TEST_F(PasswdCommand, RunsAtOnceTakeTurnsAndLoseNoUser) {
    write("", 0600);
    std::vector<std::thread> runs;
    for (const char* user : {"ann", "bob", "cat", "dan"}) {
        runs.emplace_back([this, user] {
            std::string told;
            EXPECT_EQ(set_password(file, user, user, &told), 0) << told;
        });
    }
    for (std::thread& run : runs)
        run.join();
    for (const char* user : {"ann", "bob", "cat", "dan"})
        EXPECT_TRUE(lets_in(user, user)) << user << " is lost";
}

TEST_F(PasswdCommand, WhatItRefusesLeavesTheFileAsItWas) {
    struct row {
        std::string file_text;  // empty: no file
        std::string user;
        std::string password;
        int status;
        std::string told;  // the beginning of the line
    };
    const std::string ann = hash_password_line("ann", "bee") + "\n";
    const std::vector<row> rows = {
        {ann, "a:b", "pw", 2, "a user name may hold neither \":\" nor a control character"},
        {ann, "a\tb", "pw", 2, "a user name may hold neither"},
        {ann, "#ann", "pw", 2, "the user name #ann begins with \"#\""},
        {ann, "", "pw", 2, "no user name"},
        {ann, "ann", "", 2, "no password"},
        {"", "ann", "", 2, "no password"},
        {ann + "bob:plain\n", "ann", "pw", 1, file + ":2: not a line \"user:hash\""},
        {"ann:secret\n", "bob", "pw", 1, file + ":1: not a line \"user:hash\""},
    };
    for (const row& r : rows) {
        fs::remove(file);
        if (!r.file_text.empty()) write(r.file_text, 0640);
        std::string told;
        EXPECT_EQ(set_password(file, r.user, r.password, &told), r.status) << r.user;
        EXPECT_EQ(told.rfind(r.told, 0), 0u) << told;
        EXPECT_EQ(fs::exists(file) ? read(file) : "", r.file_text) << r.user;
        EXPECT_EQ(names_in_dir().size(), r.file_text.empty() ? 0u : 1u) << r.user;
    }
    std::string told;
    EXPECT_EQ(set_password(dir.string(), "ann", "pw", &told), 1);
    EXPECT_EQ(told, "can not read " + dir.string() + " (a regular file of at most 1 MiB)");
}

}  // namespace
