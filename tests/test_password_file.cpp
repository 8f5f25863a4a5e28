// Password files: the lines taken and refused, the hashes of libcrypt's
// schemes checked, what a check that passed is remembered for, and what an
// unknown user costs.
#include "app/password_file.h"

#include <crypt.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
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

// A hash's scheme and cost: what comes before its salt.
std::string settings_of(const std::string& hash) {
    return hash.substr(0, hash.find('$', hash.find('$', 1) + 1) + 1);
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
    const std::vector<std::string> lines = {
        "",  // blank lines and comments go anywhere, the first line too
        "# the users",
        "ann:" + bcrypt,
        "bob:" + hash("$y$", "why") + "\r",
        " \t",
        "cat:" + hash("$6$", "six"),
        "# more",
        "dan:plain",
        "eve:$apr1$salt$hash",
        "no colon here",
        "fay:" + hash("$1$", "md5"),
        "gus:" + hash("$5$", "sha256"),
        "hal:" + hash("$y$", "hal") + " ",
        "ivy:" + hash("$6$", "ivy") + "x",
        "jo:" + hash("$y$", "old"),
        "jo:" + hash("$y$", "new"),
        ":" + bcrypt,
    };
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    write(text);
    password_file users;
    std::vector<std::string> problems;
    ASSERT_TRUE(users.load(name, &problems));
    EXPECT_EQ(users.users(), 3u);
    const std::vector<std::string> told = {
        ":8: dan: a password in plain text or a DES hash is not taken",
        ":9: eve: an MD5-APR hash is not taken",
        ":10: not a line \"user:hash\"",
        ":11: fay: an MD5-crypt hash is not taken",
        ":12: gus: a SHA-256-crypt hash is not taken",
        ":13: hal: a blank in or after the hash",
        ":14: ivy: not a whole hash",
        ":16: jo: a second line for jo (the first is line 15)",
        ":17: not a line \"user:hash\"",
    };
    ASSERT_EQ(problems.size(), told.size());
    for (size_t i = 0; i < told.size(); ++i)
        EXPECT_NE(problems[i].find(name + told[i]), std::string::npos) << problems[i];
    struct row {
        std::string user;
        std::string password;
        bool passes;
    };
    const row rows[] = {
        {"ann", "bee", true},
        {"bob", "why", true},
        {"cat", "six", true},
        {"ann", "why", false},
        {"dan", "plain", false},
        {"eve", "x", false},
        {"fay", "md5", false},
        {"gus", "sha256", false},
        {"hal", "hal", false},
        {"ivy", "ivy", false},
        {"jo", "old", false},
        {"jo", "new", false},
        {"zed", "bee", false},
        {"bob", "", false},
        {"bob", std::string("why\0more", 8), false},  // crypt would stop at the NUL
    };
    for (const row& r : rows)
        EXPECT_EQ(users.check(r.user, r.password, 0), r.passes) << r.user << ":" << r.password;
    password_file missing;
    EXPECT_FALSE(missing.load(name + ".missing", nullptr));
}

// A check that passed is remembered for one minute and not longer, and
// forgotten at once when the file changes: a changed password is never let
// in from memory.
TEST_F(PasswordFile, APassedCheckIsRememberedForAMinuteUntilTheFileChanges) {
    write("ann:" + hash("$y$", "old") + "\n");
    password_file users;
    ASSERT_TRUE(users.load(name, nullptr));
    const long long minute_ms = 60000;
    struct row {
        long long at_ms;
        const char* password;
        bool passes;
        unsigned long long hashes_run;  // after the check
    };
    const row rows[] = {
        {1000, "old", true, 1},
        {1500, "old", true, 1},
        {1000 + minute_ms - 1, "old", true, 1},
        {1000 + minute_ms, "old", true, 2},
        {1000 + minute_ms + 1, "wrong", false, 3},
        {1000 + minute_ms + 2, "wrong", false, 4},  // a failure is never remembered
    };
    for (const row& r : rows) {
        EXPECT_EQ(users.check("ann", r.password, r.at_ms), r.passes) << r.at_ms;
        EXPECT_EQ(users.hashes_run(), r.hashes_run) << r.at_ms;
    }
    const long long later = 1000 + 2 * minute_ms;
    write("ann:" + hash("$y$", "new") + "\n");
    EXPECT_FALSE(users.check("ann", "old", later)) << "the file changed";
    EXPECT_TRUE(users.check("ann", "new", later));
    EXPECT_FALSE(users.check("ann", "old", later + minute_ms));
}

// An unknown user is hashed as long as a known one: against a stand-in of
// the file's scheme and cost, which never passes.
TEST_F(PasswordFile, AnUnknownUserCostsAHashOfTheSameKindAndNeverPasses) {
    for (const char* scheme : {"$y$", "$2b$"}) {
        const std::string ann = hash(scheme, "bee");
        write("ann:" + ann + "\n");
        password_file users;
        ASSERT_TRUE(users.load(name, nullptr));
        const password_file::hash_job stranger = users.prepare("zed", "bee");
        EXPECT_FALSE(stranger.known);
        EXPECT_EQ(settings_of(stranger.hash), settings_of(ann)) << scheme;
        EXPECT_NE(stranger.hash, ann);
        EXPECT_FALSE(hash_job_passes(stranger));
        EXPECT_FALSE(users.check("zed", "bee", 0));
        EXPECT_EQ(users.hashes_run(), 1u) << scheme;
    }
}

// The steps of a check apart, the hash on a thread of its own: what passed
// is remembered, unless the file was read again in between.
TEST_F(PasswordFile, AHashJobRunsOnAnotherThreadAndIsRememberedByTheOwner) {
    write("ann:" + hash("$2b$", "bee") + "\n");
    password_file users;
    ASSERT_TRUE(users.load(name, nullptr));
    EXPECT_FALSE(users.recalls("ann", "bee", 0));
    const password_file::hash_job job = users.prepare("ann", "bee");
    bool passed = false;
    std::thread([&job, &passed] { passed = hash_job_passes(job); }).join();
    ASSERT_TRUE(passed);
    users.remember(job, 0);
    EXPECT_TRUE(users.recalls("ann", "bee", 10));
    EXPECT_FALSE(users.recalls("ann", "be", 10));
    EXPECT_EQ(users.hashes_run(), 0u);

    const password_file::hash_job stale = users.prepare("ann", "bee");
    ASSERT_TRUE(users.load(name, nullptr));
    EXPECT_TRUE(hash_job_passes(stale));
    users.remember(stale, 20);
    EXPECT_FALSE(users.recalls("ann", "bee", 30)) << "prepared before the file was read again";
}

TEST(HashPasswordLine, IsALineThatChecks) {
    const std::string line = hash_password_line("alice", "secret");
    ASSERT_EQ(line.rfind("alice:$y$", 0), 0u) << line;
    crypt_data data{};
    const std::string hash = line.substr(6);
    EXPECT_EQ(crypt_rn("secret", hash.c_str(), &data, sizeof data), hash);
}

}  // namespace
