#include "log/printf_ex.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::string file_text(const std::string& name) {
    std::ifstream file(name, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class PrintfEx : public ::testing::Test {
  protected:
    void TearDown() override {
        printf_ex_uninit();
        printf_ex_init(false, false, nullptr, nullptr);
        printf_ex_enabled(true);
        unlink(log_name.c_str());
    }
    // CTest runs each test as a process of its own, in parallel: one file per
    // test and process, or one test's "w" empties another's file.
    std::string log_name = ::testing::TempDir() + "printf_ex_" +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                           std::to_string(getpid()) + ".log";
};

TEST_F(PrintfEx, WithoutAFileEverythingGoesToTheScreen) {
    CaptureStdout();
    EXPECT_TRUE(printf_ex("before init %d\n", 1));
    EXPECT_TRUE(printf_ex_init(false, false, log_name.c_str(), "w"));
    EXPECT_TRUE(printf_ex("not routed to a file\n"));
    EXPECT_FALSE(printf_ex_init(true, true, nullptr, "w"));
    EXPECT_FALSE(printf_ex_init(true, true, log_name.c_str(), nullptr));
    EXPECT_FALSE(printf_ex_init(true, true, "/no/such/directory/x.log", "w"));
    EXPECT_TRUE(printf_ex("screen only\n"));
    EXPECT_EQ(GetCapturedStdout(), "before init 1\nnot routed to a file\nscreen only\n");
    EXPECT_NE(access(log_name.c_str(), F_OK), 0) << "no file was opened";
}

TEST_F(PrintfEx, FileOnlyRoutingWithoutAFileWritesNothingAndFails) {
    CaptureStdout();
    EXPECT_FALSE(printf_ex_init(true, false, "/no/such/directory/x.log", "w"));
    EXPECT_FALSE(printf_ex("lost\n"));
    EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(PrintfEx, FileHoldsEveryTextAsSoonAsTheCallReturns) {
    { std::ofstream(log_name) << "old content\n"; }
    fs::permissions(log_name, fs::perms(0644));
    ASSERT_TRUE(printf_ex_init(true, true, log_name.c_str(), "w"));
    EXPECT_EQ(file_text(log_name), "") << "mode w empties the file";
    EXPECT_EQ(fs::status(log_name).permissions(), fs::perms(0644)) << "and keeps its mode";
    CaptureStdout();
    EXPECT_TRUE(printf_ex("%s %d", "no line feed", 7));
    EXPECT_EQ(file_text(log_name), "no line feed 7") << "flushed before the call returned";
    EXPECT_TRUE(printf_ex(" continued\n"));
    EXPECT_EQ(GetCapturedStdout(), "no line feed 7 continued\n");
    EXPECT_EQ(file_text(log_name), "no line feed 7 continued\n");

    printf_ex_uninit();
    CaptureStdout();
    EXPECT_TRUE(printf_ex("after uninit\n"));
    EXPECT_EQ(GetCapturedStdout(), "after uninit\n");
    EXPECT_EQ(file_text(log_name), "no line feed 7 continued\n");
}

TEST_F(PrintfEx, ALongTextReachesBothDestinationsWhole) {
    const mode_t usual_umask = umask(022);
    ASSERT_TRUE(printf_ex_init(true, true, log_name.c_str(), "w"));
    umask(usual_umask);
    EXPECT_EQ(fs::status(log_name).permissions(), fs::perms(0600)) << "a new log is private";
    std::string long_text(10000, 'x');
    long_text[5000] = '\r';
    CaptureStdout();
    EXPECT_TRUE(printf_ex("<%s>\n", long_text.c_str()));
    EXPECT_EQ(GetCapturedStdout(), "<" + long_text + ">\n");
    EXPECT_EQ(file_text(log_name), "<" + long_text + ">\n");
}

// Formats of plain "%s" are joined without vsnprintf; every format must still
// give the bytes that snprintf gives.
TEST_F(PrintfEx, TextsAreTheBytesThatSnprintfGives) {
    ASSERT_TRUE(printf_ex_init(true, false, log_name.c_str(), "w"));
    std::string expected;
    auto check = [&expected](const char* format, auto... values) {
        char text[8192];
        snprintf(text, sizeof text, format, values...);
        expected += text;
        EXPECT_TRUE(printf_ex(format, values...)) << format;
    };
    const std::string long_text(5000, 'y');  // longer than a text formatted in place
    const char* volatile missing = nullptr;
    check("plain\n");
    check("%s %s%s\n", "stamp", "node ", "connected");
    check("100%% %s%%\n", "done");
    check("<%s>", long_text.c_str());
    check("%s|%5s|%-3s|%.2s\n", "a", "b", "c", "def");
    check("%s %d %u %hu\n", "n", -1, 2u, static_cast<unsigned short>(3));
    check("%s\n", static_cast<const char*>(missing));
    check("%s", "");
    EXPECT_EQ(file_text(log_name), expected);
}

TEST_F(PrintfEx, FileOnlyRoutingAndTheMasterSwitch) {
    ASSERT_TRUE(printf_ex_init(true, false, log_name.c_str(), "w"));
    CaptureStdout();
    EXPECT_TRUE(printf_ex("file only\n"));
    printf_ex_enabled(false);
    EXPECT_TRUE(printf_ex("disabled\n"));
    printf_ex_enabled(true);
    EXPECT_TRUE(printf_ex("enabled again\n"));
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(file_text(log_name), "file only\nenabled again\n");
}

// The descriptor this process has open on `name`, or -1.
int descriptor_of(const std::string& name) {
    const fs::path file = fs::canonical(name);
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code gone;
        if (fs::read_symlink(entry.path(), gone) == file) return std::stoi(entry.path().filename());
    }
    return -1;
}

// A full disk: the log's descriptor is swapped for one of /dev/full, then for
// the real file again. A file size limit cuts a text in the middle, as a disk
// that fills up during a write does.
TEST_F(PrintfEx, LostTextsAreToldOnStandardErrorAndCountedInTheFile) {
    ASSERT_TRUE(printf_ex_init(true, false, log_name.c_str(), "w"));
    EXPECT_TRUE(printf_ex("before\n"));
    const int log_fd = descriptor_of(log_name);
    ASSERT_NE(log_fd, -1);
    const int real_file = dup(log_fd);
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    int error[2];
    ASSERT_EQ(pipe2(error, O_CLOEXEC | O_NONBLOCK), 0);
    fflush(stderr);
    const int saved_stderr = dup(STDERR_FILENO);
    dup2(error[1], STDERR_FILENO);

    dup2(full, log_fd);
    EXPECT_FALSE(printf_ex("lost %d\n", 1));
    EXPECT_FALSE(printf_ex("lost %d\n", 2));
    dup2(real_file, log_fd);
    EXPECT_TRUE(printf_ex("after\n"));

    signal(SIGXFSZ, SIG_IGN);
    rlimit size_limit{};
    getrlimit(RLIMIT_FSIZE, &size_limit);
    rlimit small = size_limit;
    small.rlim_cur = fs::file_size(log_name) + 3;
    setrlimit(RLIMIT_FSIZE, &small);
    EXPECT_FALSE(printf_ex("cut here\n"));
    setrlimit(RLIMIT_FSIZE, &size_limit);
    EXPECT_TRUE(printf_ex("again\n"));

    dup2(saved_stderr, STDERR_FILENO);
    for (int fd : {saved_stderr, error[1], full, real_file})
        close(fd);
    char told[1024] = {};
    EXPECT_GT(read(error[0], told, sizeof told - 1), 0);
    close(error[0]);
    EXPECT_EQ(std::string(told), "log: can not write to " + log_name + ": " + strerror(ENOSPC) +
                                     "; serving goes on\n" + "log: can not write to " + log_name +
                                     ": " + strerror(EFBIG) + "; serving goes on\n")
        << "once for each run of failures";
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d \(UTC\))";
    EXPECT_EQ(std::regex_replace(file_text(log_name), std::regex(stamp), "<stamp>"),
              "before\n<stamp> log: 2 texts could not be written to " + log_name +
                  "\nafter\ncut\n<stamp> log: 1 text could not be written to " + log_name +
                  "\nagain\n");
}

// Texts gathered over a round reach both destinations at the flush, in the
// order of the calls; a flush the file refuses counts each of its texts lost.
TEST_F(PrintfEx, GatheredTextsGoOutTogetherAndAreCountedOneByOne) {
    ASSERT_TRUE(printf_ex_init(true, true, log_name.c_str(), "w"));
    printf_ex_gather(true);
    CaptureStdout();
    EXPECT_TRUE(printf_ex("first %d\n", 1));
    EXPECT_TRUE(printf_ex("second\n"));
    EXPECT_EQ(file_text(log_name), "") << "nothing before the flush";
    EXPECT_TRUE(printf_ex_flush());
    EXPECT_EQ(file_text(log_name), "first 1\nsecond\n");

    const int log_fd = descriptor_of(log_name);
    ASSERT_NE(log_fd, -1);
    const int real_file = dup(log_fd);
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    fflush(stderr);
    const int saved_stderr = dup(STDERR_FILENO);
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(quiet, STDERR_FILENO);
    dup2(full, log_fd);
    for (const char* text : {"lost 1\n", "lost 2\n", "lost 3\n"})
        printf_ex("%s", text);
    EXPECT_FALSE(printf_ex_flush());
    dup2(real_file, log_fd);
    dup2(saved_stderr, STDERR_FILENO);
    for (int fd : {saved_stderr, quiet, full, real_file})
        close(fd);
    printf_ex("after\n");
    printf_ex_gather(false);  // flushes
    EXPECT_EQ(GetCapturedStdout(), "first 1\nsecond\nlost 1\nlost 2\nlost 3\nafter\n");
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d \(UTC\))";
    EXPECT_EQ(
        std::regex_replace(file_text(log_name), std::regex(stamp), "<stamp>"),
        "first 1\nsecond\n<stamp> log: 3 texts could not be written to " + log_name + "\nafter\n");
    EXPECT_TRUE(printf_ex("at once\n"));
    EXPECT_NE(file_text(log_name).find("at once\n"), std::string::npos) << "not gathered any more";
}

TEST(AppendLogSafe, Table) {
    struct row {
        std::string text;
        std::string logged;
    };
    // U+00E9, U+00A0, U+2026, U+0800, U+D7FF, U+1F600 and U+10FFFF
    const std::string utf8 =
        "\xC3\xA9t\xC3\xA9 "
        "\xC2\xA0\xE2\x80\xA6\xE0\xA0\x80\xED\x9F\xBF\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
    const std::vector<row> rows = {
        {"GET / HTTP/1.1\r\nHost: h\r\n", "GET / HTTP/1.1\r\nHost: h\r\n"},
        {"tab\there, UTF-8 \xC3\xA9, ~", "tab\there, UTF-8 \xC3\xA9, ~"},
        {"a\nforged line", "a\\x0Aforged line"},
        {"bare\rCR", "bare\\x0DCR"},
        {"\r\r\n\n\r", "\\x0D\r\n\\x0A\\x0D"},
        {"\x1b]0;title\x07\x1b[2J", "\\x1B]0;title\\x07\\x1B[2J"},
        {std::string("NUL\0next", 8), "NUL\\x00next"},
        {"\x7f\x1f \x80", "\\x7F\\x1F \\x80"},
        // above 0x7F: well-formed UTF-8 from U+00A0 on stays, every other byte is escaped
        {utf8, utf8},
        {"\xC2\x9B[2J \x9B[2J \xC2\x80\xC2\x9F", "\\xC2\\x9B[2J \\x9B[2J \\xC2\\x80\\xC2\\x9F"},
        {"\xC0\xAF\xC1\xBF\xE0\x9F\xBF\xF0\x8F\xBF\xBF",  // overlong
         "\\xC0\\xAF\\xC1\\xBF\\xE0\\x9F\\xBF\\xF0\\x8F\\xBF\\xBF"},
        {"\xED\xA0\x80\xF4\x90\x80\x80\xF5\x80\xFF",  // surrogate, above U+10FFFF, never a lead
         "\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80\\xF5\\x80\\xFF"},
        {"\xA9stray \xE2\x82"
         "cut \xE2\x82",
         "\\xA9stray \\xE2\\x82cut \\xE2\\x82"},
    };
    for (const row& r : rows) {
        std::string out = "kept:";
        append_log_safe(&out, r.text.data(), r.text.size());
        EXPECT_EQ(out, "kept:" + r.logged) << r.text;
    }
}

TEST_F(PrintfEx, AFullScreenDropsWholeTextsAndSaysHowManyLinesItMissed) {
    int screen[2];
    ASSERT_EQ(pipe2(screen, O_CLOEXEC), 0);
    ASSERT_EQ(fcntl(screen[1], F_SETPIPE_SZ, 8192), 8192);  // two pages
    fcntl(screen[0], F_SETFL, O_NONBLOCK);
    fflush(stdout);
    int saved_stdout = dup(STDOUT_FILENO);
    dup2(screen[1], STDOUT_FILENO);
    close(screen[1]);
    auto drain = [&] {
        std::string data;
        char chunk[8192];
        for (ssize_t n; (n = read(screen[0], chunk, sizeof chunk)) > 0;)
            data.append(chunk, static_cast<size_t>(n));
        return data;
    };

    ASSERT_TRUE(printf_ex_init(true, true, log_name.c_str(), "w"));
    printf_ex_screen_never_blocks(true);
    const std::string a(2999, 'a'), b(5999, 'b'), c(99, 'c'), d(9, 'd');
    bool took_a = printf_ex("%s\n", a.c_str());
    bool took_b = printf_ex("%s\n", b.c_str());  // only its start fits: the rest waits
    bool took_c = printf_ex("%s\n%s\n", c.c_str(), c.c_str());  // nothing fits
    std::string seen = drain();
    bool took_d = printf_ex("%s\n", d.c_str());
    seen += drain();
    printf_ex_screen_never_blocks(false);
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    close(screen[0]);

    EXPECT_TRUE(took_a && took_b && took_d);
    EXPECT_FALSE(took_c);
    EXPECT_TRUE(std::regex_match(seen, std::regex(a + "\n" + b + "\n" +
                                                  R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d \(UTC\) )"
                                                  "standard output missed 2 lines; the log file "
                                                  "has them\n" +
                                                  d + "\n")))
        << seen.substr(std::min<size_t>(seen.size(), 8990));
    EXPECT_EQ(file_text(log_name), a + "\n" + b + "\n" + c + "\n" + c + "\n" + d + "\n");
}

// Two processes that write large texts of many lines to one pipe, read
// slowly: each line arrives whole or not at all (counted as missed), never
// mixed with a line of the other.
TEST_F(PrintfEx, ProcessesThatShareStandardOutputNeverMixTheirLines) {
    int screen[2];
    ASSERT_EQ(pipe2(screen, O_CLOEXEC), 0);
    fflush(stdout);
    std::vector<pid_t> writers;
    for (const char* name : {"A", "B"}) {
        const pid_t pid = fork();
        ASSERT_NE(pid, -1);
        if (pid == 0) {
            close(screen[0]);
            dup2(screen[1], STDOUT_FILENO);
            printf_ex_init(false, true, nullptr, nullptr);
            printf_ex_screen_never_blocks(true);
            printf_ex_screen_shared(true);
            printf_ex_gather(true);
            for (int round = 0; round < 50; ++round) {
                for (int line = 0; line < 100; ++line)
                    printf_ex("%s %d %s\n", name, round * 100 + line,
                              std::string(100, *name).c_str());
                printf_ex_flush();
                usleep(1000);
            }
            _exit(0);
        }
        writers.push_back(pid);
    }
    close(screen[1]);
    std::string seen;
    char chunk[1000];
    for (ssize_t n; (n = read(screen[0], chunk, sizeof chunk)) > 0; usleep(50))
        seen.append(chunk, static_cast<size_t>(n));
    close(screen[0]);
    for (pid_t pid : writers)
        waitpid(pid, nullptr, 0);

    const std::regex whole(
        R"(([AB]) \d+ (A{100}|B{100})|.* standard output missed \d+ lines; the log file has them)");
    std::istringstream lines(seen);
    int mixed = 0, shown = 0;
    for (std::string line; std::getline(lines, line); ++shown) {
        std::smatch m;
        mixed +=
            !std::regex_match(line, m, whole) || (m[1].matched && m[2].str()[0] != m[1].str()[0]);
    }
    EXPECT_EQ(mixed, 0) << "of " << shown << " lines";
    EXPECT_GT(shown, 100);
}

}  // namespace
