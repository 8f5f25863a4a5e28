// Password files: the lines taken and refused, the hashes of libcrypt's
// schemes checked, and what a check that passed is remembered for.
#include "app/password_file.h"

#include <crypt.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string hash(const char* prefix, const std::string& password) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // The lowest bcrypt cost keeps the test quick; the others take the default.
    crypt_gensalt_rn(prefix, std::string(prefix) == "$2b$" ? 4 : 0, nullptr, 0, setting,
                     sizeof setting);
    crypt_data data{};
    return crypt_rn(password.c_str(), setting, &data, sizeof data);
}

class PasswordFile : public ::testing::Test {
  protected:
    void SetUp() override {
        name =
            (fs::temp_directory_path() / ("websrv-htpasswd-" + std::to_string(getpid()))).string();
    }
    void TearDown() override { fs::remove(name); }
    void write(const std::string& text) { std::ofstream(name, std::ios::binary) << text; }
    std::string name;
};

TEST_F(PasswordFile, SchemesOfLibcryptAreTakenOthersRefusedLineByLine) {
    // As `htpasswd -B` writes it, "$2y$": the same bcrypt as "$2b$".
    std::string bcrypt = hash("$2b$", "bee");
    bcrypt.replace(0, 4, "$2y$");
    write(
        "# the users\n"
        "ann:" +
        bcrypt +
        "\n"
        "bob:" +
        hash("$y$", "why") +
        "\r\n"
        "cat:" +
        hash("$6$", "six") +
        "\n"
        "\n"
        "dan:plain\n"
        "eve:$apr1$salt$hash\n"
        "no colon here\n");
    password_file users;
    std::vector<std::string> problems;
    ASSERT_TRUE(users.load(name, &problems));
    EXPECT_EQ(users.users(), 3u);
    ASSERT_EQ(problems.size(), 3u);
    EXPECT_NE(problems[0].find(":6: dan: a password in plain text"), std::string::npos)
        << problems[0];
    EXPECT_NE(problems[1].find(":7: eve: an MD5-APR hash"), std::string::npos) << problems[1];
    EXPECT_NE(problems[2].find(":8: not a line"), std::string::npos) << problems[2];
    struct row {
        const char* user;
        const char* password;
        bool passes;
    };
    const row rows[] = {
        {"ann", "bee", true},    {"bob", "why", true}, {"cat", "six", true},  {"ann", "why", false},
        {"dan", "plain", false}, {"eve", "x", false},  {"zed", "bee", false}, {"bob", "", false},
    };
    for (const row& r : rows) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(users.check(r.user, r.password, 0), r.passes) << r.user << ":" << r.password;
        if (r.passes) {
            const auto spent = std::chrono::steady_clock::now() - start;
            std::cout << r.user << ": "
                      << std::chrono::duration_cast<std::chrono::microseconds>(spent).count()
                      << " us\n";
        }
    }
    password_file missing;
    EXPECT_FALSE(missing.load(name + ".missing", nullptr));
}

// A check that passed is remembered for a while, and forgotten at once when
// the file changes: a changed password is never let in from memory.
TEST_F(PasswordFile, APassedCheckIsRememberedUntilTheFileChanges) {
    write("ann:" + hash("$y$", "old") + "\n");
    password_file users;
    ASSERT_TRUE(users.load(name, nullptr));
    EXPECT_TRUE(users.check("ann", "old", 1000));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(users.check("ann", "old", 1500));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2))
        << "remembered, not hashed again";
    EXPECT_FALSE(users.check("ann", "wrong", 1500));
    write("ann:" + hash("$y$", "new") + "\n");
    EXPECT_FALSE(users.check("ann", "old", 2600)) << "the file changed";
    EXPECT_TRUE(users.check("ann", "new", 2600));
    EXPECT_FALSE(users.check("ann", "old", 2600 + password_file::remember_ms));
}

TEST(HashPasswordLine, IsALineThatChecks) {
    const std::string line = hash_password_line("alice", "secret");
    ASSERT_EQ(line.rfind("alice:$y$", 0), 0u) << line;
    crypt_data data{};
    const std::string hash = line.substr(6);
    EXPECT_EQ(crypt_rn("secret", hash.c_str(), &data, sizeof data), hash);
}

}  // namespace
