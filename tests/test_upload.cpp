// Uploads written into a real temporary directory: multipart forms fed in
// pieces of every size (so delimiters and headers straddle pieces), single
// files, and every way of failing, after which nothing may be left behind.
#include "app/upload.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "http/proxy_utils.h"

namespace {

namespace fs = std::filesystem;

using files = std::map<std::string, std::string>;  // name to content

const size_t whole = 0;  // a piece size: the body in one piece
const size_t piece_sizes[] = {1, 2, 7, 64, 4096, whole};

// Content that comes close to a delimiter: line ends, dashes, and every byte value.
std::string awkward_content() {
    std::string text = "\r\n--A\r\n--AB\r\n-\r\n\r\n--\r";
    for (int i = 0; i < 256; ++i)
        text += static_cast<char>(i);
    return text + "\r\n-";
}

struct part {
    std::string disposition;  // the Content-Disposition line's parameters
    std::string content;
};

std::string file_part(const std::string& name) {
    return "form-data; name=\"f\"; filename=\"" + name + "\"";
}

// A form body with a boundary that occurs in none of the parts; `between`
// replaces the line end after the first delimiter, `ending` the closing one.
std::string form_body(const std::vector<part>& parts, std::string* boundary,
                      const std::string& ending = "--\r\n") {
    std::string all;
    for (const part& p : parts)
        all += p.disposition + p.content;
    *boundary = get_boundary(all.data(), static_cast<int>(all.size()));
    std::string body;
    for (const part& p : parts) {
        body += "--" + *boundary + "\r\nContent-Disposition: " + p.disposition +
                "\r\nContent-Type: application/octet-stream\r\n\r\n" + p.content + "\r\n";
    }
    return body + "--" + *boundary + ending;
}

// Feeds `body` in pieces of `piece` bytes (whole: at once) until the upload stops receiving.
upload::state feed(upload& u, const std::string& body, size_t piece) {
    if (piece == whole) piece = std::max<size_t>(body.size(), 1);
    for (size_t at = 0; at < body.size() && u.current() == upload::state::receiving; at += piece)
        u.take(body.data() + at, std::min(piece, body.size() - at));
    return u.current();
}

class Upload : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "websrv-upload-XXXXXX").string();
        dir = mkdtemp(pattern.data());
        dir_fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    void TearDown() override {
        upload_test_seams = upload_seams();
        close(dir_fd);
        fs::remove_all(dir);
    }

    // Every entry of the directory with its content.
    files stored() const {
        files found;
        for (const auto& entry : fs::directory_iterator(dir)) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream content;
            content << in.rdbuf();
            found[entry.path().filename().string()] = content.str();
        }
        return found;
    }
    // Every entry with what makes it the same file: its content (a
    // directory: "<dir>"), inode and mode.
    std::map<std::string, std::tuple<std::string, ino_t, mode_t>> identities() const {
        std::map<std::string, std::tuple<std::string, ino_t, mode_t>> found;
        const files contents = stored();
        for (const auto& entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            struct stat info {};
            lstat(entry.path().c_str(), &info);
            found[name] = {S_ISDIR(info.st_mode) ? "<dir>" : contents.at(name), info.st_ino,
                           info.st_mode};
        }
        return found;
    }
    void put_file(const std::string& name, const std::string& content) const {
        std::ofstream(dir / name, std::ios::binary) << content;
    }
    std::unique_ptr<upload> form(const std::string& body, const std::string& boundary,
                                 if_taken taken = if_taken::refuse, size_t announced = 0) const {
        const size_t length = announced != 0 ? announced : body.size();
        return upload::form_files(dir_fd, boundary, static_cast<off_t>(length), taken, "/up/");
    }

    fs::path dir;
    int dir_fd = -1;
};

TEST_F(Upload, FormsStoreEveryFilePartByteForByteWhateverThePieces) {
    struct stored_case {
        const char* what;
        std::vector<part> parts;
        files expected;
        std::string ending = "--\r\n";
    };
    const std::string awkward = awkward_content();
    const std::vector<stored_case> cases = {
        {"one file", {{file_part("a.bin"), awkward}}, {{"a.bin", awkward}}},
        {"fields and empty file inputs are skipped",
         {{"form-data; name=\"note\"", "hello"},
          {file_part("x.txt"), "x"},
          {file_part(""), ""},
          {file_part("y.txt"), std::string(10000, 'y')}},
         {{"x.txt", "x"}, {"y.txt", std::string(10000, 'y')}}},
        {"an empty file", {{file_part("empty"), ""}}, {{"empty", ""}}},
        {"a Windows path keeps its last step",
         {{file_part("C:\\docs\\w.txt"), "w"}},
         {{"w.txt", "w"}}},
        {"an epilogue after the closing delimiter",
         {{file_part("e.txt"), "e"}},
         {{"e.txt", "e"}},
         "--\r\nepilogue\r\n"},
    };
    for (const stored_case& c : cases) {
        for (size_t piece : piece_sizes) {
            SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
            std::string boundary;
            const std::string body = form_body(c.parts, &boundary, c.ending);
            auto u = form(body, boundary);
            ASSERT_EQ(feed(*u, body, piece), upload::state::stored) << u->status();
            EXPECT_STREQ(u->status(), "201 Created");
            EXPECT_EQ(u->location(), "/up/" + c.expected.begin()->first);
            EXPECT_EQ(stored(), c.expected);
            for (const auto& entry : fs::directory_iterator(dir))
                fs::remove_all(entry.path());
        }
    }
}

TEST_F(Upload, RefusedFormsLeaveNothingInTheDirectory) {
    struct refused_case {
        const char* what;
        std::string body;  // "B" stands for the boundary
        const char* status;
        size_t cut = 0;         // the bytes of the body beyond its announced length
        bool existing = false;  // ok.txt is there before
    };
    const std::string header(17 * 1024, 'h');
    const std::string good =
        "--B\r\nContent-Disposition: " + file_part("ok.txt") + "\r\n\r\nok\r\n";
    // A form of one part with this Content-Disposition.
    const auto one_part = [](const std::string& disposition) {
        return "--B\r\nContent-Disposition: " + disposition + "\r\n\r\nx\r\n--B--\r\n";
    };
    const std::vector<refused_case> cases = {
        {"a slash", one_part(file_part("a/b")), "400 Bad Request"},
        {"an absolute name", one_part(file_part("/etc/passwd")), "400 Bad Request"},
        {"a NUL", one_part(file_part(std::string("a\0b", 3))), "400 Bad Request"},
        {"a dot step", one_part(file_part("..")), "400 Bad Request"},
        {"a bad name after a good file", good + one_part(file_part("..")), "400 Bad Request"},
        {"a part without Content-Disposition", good + "--B\r\nX-Other: 1\r\n\r\nx\r\n--B--\r\n",
         "400 Bad Request"},
        {"an unterminated body",
         good + "--B\r\nContent-Disposition: " + file_part("u.txt") + "\r\n\r\nunterminated",
         "400 Bad Request"},
        {"no closing delimiter", good, "400 Bad Request"},
        {"garbage after a delimiter", good + "--Bxy\r\n", "400 Bad Request"},
        {"a length that ends in the closing delimiter", good + "--B--\r\n", "400 Bad Request", 3},
        {"a first part header over 16 KiB",
         "--B\r\nX-Long: " + header + "\r\nContent-Disposition: " + file_part("h.txt") +
             "\r\n\r\nx\r\n--B--\r\n",
         "400 Bad Request"},
        {"a later part header over 16 KiB",
         good + "--B\r\nX-Long: " + header + "\r\nContent-Disposition: " + file_part("h.txt") +
             "\r\n\r\nx\r\n--B--\r\n",
         "400 Bad Request"},
        {"an existing name", good + "--B--\r\n", "409 Conflict", 0, true},
        {"the same name twice", good + good + "--B--\r\n", "409 Conflict"},
        {"an existing name after a new one",
         "--B\r\nContent-Disposition: " + file_part("new.txt") + "\r\n\r\nn\r\n" + good +
             "--B--\r\n",
         "409 Conflict", 0, true},
        {"no file at all", one_part("form-data; name=\"x\""), "400 Bad Request"},
        {"a hidden name", one_part(file_part(".env")), "403 Forbidden"},
        {"a name longer than the file system takes", one_part(file_part(std::string(256, 'n'))),
         "400 Bad Request"},
        {"an ESC", one_part(file_part("a\x1B[31m")), "400 Bad Request"},
        {"a BEL after a good file", good + one_part(file_part("a\ab")), "400 Bad Request"},
        {"a DEL", one_part(file_part("a\x7F")), "400 Bad Request"},
        {"a CR and LF as browsers write them", one_part(file_part("a%0D%0Ab")), "400 Bad Request"},
        {"an unterminated quote", one_part("form-data; name=\"f\"; filename=\"u.txt"),
         "400 Bad Request"},
        {"parameters without \";\" between them",
         one_part("form-data; name=\"f\" filename=\"u.txt\""), "400 Bad Request"},
    };
    put_file("ok.txt.old", "old");
    for (const refused_case& c : cases) {
        if (c.existing) put_file("ok.txt", "old");
        for (size_t piece : piece_sizes) {
            SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
            std::string body = c.body;
            const std::string boundary = get_boundary(body.data(), int(body.size()));
            for (size_t at; (at = body.find("--B")) != std::string::npos;)
                body.replace(at, 3, "--" + boundary);
            auto u = form(body, boundary, if_taken::refuse, body.size() - c.cut);
            EXPECT_EQ(feed(*u, body, piece), upload::state::failed);
            EXPECT_STREQ(u->status(), c.status);
            files expected = {{"ok.txt.old", "old"}};
            if (c.existing) expected["ok.txt"] = "old";
            EXPECT_EQ(stored(), expected);
        }
        if (c.existing) fs::remove(dir / "ok.txt");
    }
}

// At most a thousand files a form; the whole form is refused beyond.
TEST_F(Upload, AFormOfMoreThanAThousandFilesStoresNone) {
    std::vector<part> parts;
    for (size_t i = 0; i <= upload::max_files; ++i)
        parts.push_back({file_part("f" + std::to_string(i)), ""});
    std::string boundary;
    const std::string body = form_body(parts, &boundary);
    auto u = form(body, boundary);
    EXPECT_EQ(feed(*u, body, 4096), upload::state::failed);
    EXPECT_STREQ(u->status(), "413 Payload Too Large");
    EXPECT_EQ(stored(), files{});
}

// Content-Disposition parameters read as the header syntax says: the file
// name is the "filename" parameter in any letter case, quoted or bare, with
// the escapes browsers and curl write; text inside a quoted value is never a
// parameter. And a refusal names the file in the way.
TEST_F(Upload, FileNamesAreReadAsTheHeaderSyntaxSays) {
    const struct {
        const char* disposition;
        const char* stored;  // the name stored; "": the part is a field
    } rows[] = {
        {"form-data; name=\"f\"; filename=\"say %22hi%22.txt\"", "say \"hi\".txt"},
        {"form-data; name=f; filename=bare.txt", "bare.txt"},
        {"form-data; NAME=\"f\"; FileName=\"upper.txt\"", "upper.txt"},
        {"form-data ; name = \"f\" ;\tfilename = \"spaced.txt\" ;", "spaced.txt"},
        {"form-data; name=\"f\"; filename=\"q\\\"uote.txt\"", "q\"uote.txt"},
        {"form-data; name=\"f\"; filename=\"back\\\\slash.txt\"", "slash.txt"},
        {"form-data; name=\"f\"; filename=\"semi;colon.txt\"", "semi;colon.txt"},
        {"form-data; filename=\"first.txt\"; filename=\"second.txt\"", "first.txt"},
        {"form-data; name=\"x; filename=f.html; y\"", ""},
        {"form-data; name=\"x\\\"; filename=f.html; y\"", ""},
        {"form-data; name=\"f\"; xfilename=\"f.html\"", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.disposition);
        std::string boundary;
        const std::string body =
            form_body({{row.disposition, "r"}, {file_part("other.txt"), "o"}}, &boundary);
        auto u = form(body, boundary);
        ASSERT_EQ(feed(*u, body, whole), upload::state::stored) << u->reason();
        files expected = {{"other.txt", "o"}};
        if (*row.stored) expected[row.stored] = "r";
        EXPECT_EQ(stored(), expected);
        for (const auto& entry : fs::directory_iterator(dir))
            fs::remove_all(entry.path());
    }
    std::string boundary;
    const std::string body = form_body({{file_part("say %22hi%22.txt"), "q"}}, &boundary);
    auto u = form(body, boundary);
    ASSERT_EQ(feed(*u, body, whole), upload::state::stored) << u->reason();
    EXPECT_EQ(u->location(), "/up/say%20%22hi%22.txt");
    auto again = form(body, boundary);
    EXPECT_EQ(feed(*again, body, whole), upload::state::failed);
    EXPECT_EQ(again->reason(), "say \"hi\".txt exists");
}

// Keeping both: each file whose name is taken (by a file, a folder, an
// earlier file of the form, or a name taken while the body arrives) takes
// the next free "name (N).ext"; nothing that was there changes.
TEST_F(Upload, KeepingBothGivesTheNextFreeNumberedName) {
    const struct {
        const char* name;
        unsigned number;
        const char* numbered;
    } names[] = {
        {"clip.mp4", 1, "clip (1).mp4"},
        {"archive.tar.gz", 2, "archive.tar (2).gz"},
        {"Makefile", 1, "Makefile (1)"},
        {"dotted.", 3, "dotted (3)."},
    };
    for (const auto& n : names)
        EXPECT_EQ(numbered_name(n.name, n.number), n.numbered);
    EXPECT_EQ(numbered_name(std::string(NAME_MAX - 2, 'n'), 1), "") << "too long for a name";

    put_file("a.txt", "old a");
    put_file("a (1).txt", "old a1");
    fs::create_directory(dir / "d.txt");
    std::string boundary;
    const std::string body = form_body({{file_part("a.txt"), "new a"},
                                        {file_part("b.txt"), "b one"},
                                        {file_part("b.txt"), "b two"},
                                        {file_part("d.txt"), "d"},
                                        {file_part("race.txt"), "mine"}},
                                       &boundary);
    auto u = form(body, boundary, if_taken::keep_both);
    EXPECT_EQ(feed(*u, body.substr(0, 10), whole), upload::state::receiving);
    put_file("race.txt", "theirs");
    ASSERT_EQ(feed(*u, body.substr(10), whole), upload::state::stored) << u->reason();
    fs::remove(dir / "d.txt");
    EXPECT_EQ(stored(), (files{{"a.txt", "old a"},
                               {"a (1).txt", "old a1"},
                               {"a (2).txt", "new a"},
                               {"b.txt", "b one"},
                               {"b (1).txt", "b two"},
                               {"d (1).txt", "d"},
                               {"race.txt", "theirs"},
                               {"race (1).txt", "mine"}}));
    EXPECT_EQ(u->location(), "/up/a%20%282%29.txt");
}

// A name taken while the body arrives: the upload is refused, the file that
// took the name keeps it, and nothing of the upload is left.
TEST_F(Upload, ANameTakenWhileTheBodyArrivesIsNeverReplaced) {
    for (bool is_form : {false, true}) {
        std::string boundary;
        const std::string body =
            is_form ? form_body({{file_part("race.txt"), "mine"}}, &boundary) : "mine";
        auto u = is_form
                     ? form(body, boundary)
                     : upload::single_file(dir_fd, "race.txt", 4, if_taken::refuse, "/race.txt");
        EXPECT_EQ(feed(*u, body.substr(0, 2), whole), upload::state::receiving);
        put_file("race.txt", "theirs");
        EXPECT_EQ(feed(*u, body.substr(2), whole), upload::state::failed) << is_form;
        EXPECT_STREQ(u->status(), "409 Conflict");
        EXPECT_EQ(stored(), (files{{"race.txt", "theirs"}}));
        fs::remove(dir / "race.txt");
    }
}

// Placing, forced to fail or to meet a name taken at the last moment, in each
// way a file can be stored: a refused form leaves every existing file as it
// was (content, inode, mode) and nothing of its own, not even a hidden name;
// a stored one leaves nothing hidden either.
TEST_F(Upload, PlacingThatFailsLeavesEveryExistingFileAsItWas) {
    enum class taken { nothing, by_file, by_directory };
    const struct {
        const char* what;
        std::vector<std::string> existing;  // files there before, each holding "old"
        bool replace;
        taken in_the_way;  // what appears at b.txt just before it is placed
        int error;         // with which placing b.txt then fails; 0: it does not
        const char* status;
    } rows[] = {
        {"replacing both", {"a.txt", "b.txt"}, true, taken::nothing, 0, "201 Created"},
        {"replacing a.txt, adding b.txt", {"a.txt"}, true, taken::nothing, 0, "201 Created"},
        {"replacing both, b.txt fails",
         {"a.txt", "b.txt"},
         true,
         taken::nothing,
         EIO,
         "500 Internal Server Error"},
        {"replacing a.txt, new b.txt fails",
         {"a.txt"},
         true,
         taken::nothing,
         EIO,
         "500 Internal Server Error"},
        {"replacing a.txt, a directory made at b.txt",
         {"a.txt"},
         true,
         taken::by_directory,
         0,
         "409 Conflict"},
        {"new files, b.txt fails", {}, false, taken::nothing, EIO, "500 Internal Server Error"},
        {"new files, b.txt taken", {}, false, taken::by_file, 0, "409 Conflict"},
        {"new files, a directory made at b.txt", {}, false, taken::by_directory, 0, "409 Conflict"},
    };
    const struct {
        bool no_unnamed_files;
        bool no_exchange;
    } storages[] = {{false, false}, {true, false}, {false, true}, {true, true}};
    std::string boundary;
    const std::string body =
        form_body({{file_part("a.txt"), "new a"}, {file_part("b.txt"), "new b"}}, &boundary);
    for (const auto& storage : storages) {
        upload_test_seams.no_unnamed_files = storage.no_unnamed_files;
        upload_test_seams.no_exchange = storage.no_exchange;
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.what) +
                         (storage.no_unnamed_files ? ", hidden names" : "") +
                         (storage.no_exchange ? ", no exchange" : ""));
            // Modes the upload would not give, so that a file made anew shows.
            for (const std::string& name : row.existing) {
                put_file(name, "old");
                chmod((dir / name).c_str(), 0600);
            }
            const auto before = identities();
            upload_test_seams.before_placing = [&](int at, const std::string& name) {
                if (name != "b.txt") return 0;
                if (row.in_the_way == taken::by_directory) mkdirat(at, "b.txt", 0755);
                if (row.in_the_way == taken::by_file) put_file("b.txt", "theirs");
                return row.error;
            };
            auto u = form(body, boundary, row.replace ? if_taken::replace : if_taken::refuse);
            feed(*u, body, whole);
            EXPECT_STREQ(u->status(), row.status) << u->reason();
            auto after = identities();
            if (u->current() == upload::state::stored) {
                EXPECT_EQ(stored(), (files{{"a.txt", "new a"}, {"b.txt", "new b"}}));
            } else {
                if (row.in_the_way != taken::nothing) {
                    const char* theirs = row.in_the_way == taken::by_file ? "theirs" : "<dir>";
                    EXPECT_EQ(std::get<0>(after["b.txt"]), theirs);
                    after.erase("b.txt");
                }
                EXPECT_EQ(after, before);
            }
            for (const auto& entry : fs::directory_iterator(dir))
                fs::remove_all(entry.path());
        }
    }
}

// The open files of every upload at once are bounded: a file beyond the
// bound refuses its upload with 503 and leaves nothing; each file placed
// or thrown away gives its share back.
TEST_F(Upload, UploadsAtOnceHoldNoMoreFilesThanTheBudget) {
    upload_test_seams.open_file_budget = 3;
    std::string boundary;
    const std::string two =
        form_body({{file_part("a.txt"), "a"}, {file_part("b.txt"), "b"}}, &boundary);
    const std::string three =
        form_body({{file_part("c.txt"), "c"}, {file_part("d.txt"), "d"}, {file_part("e.txt"), "e"}},
                  &boundary);
    const std::string four = form_body({{file_part("c.txt"), "c"},
                                        {file_part("d.txt"), "d"},
                                        {file_part("e.txt"), "e"},
                                        {file_part("f.txt"), "f"}},
                                       &boundary);
    auto too_many = form(four, boundary);
    EXPECT_EQ(feed(*too_many, four, 7), upload::state::failed);
    EXPECT_STREQ(too_many->status(), "503 Service Unavailable");
    EXPECT_EQ(too_many->reason(), "too many uploads at once");
    EXPECT_EQ(stored(), files{});

    // Two files of a form held open while it waits for the rest of its body.
    auto waiting = form(two, boundary);
    EXPECT_EQ(feed(*waiting, two.substr(0, two.rfind("b\r\n")), whole), upload::state::receiving);
    auto single = upload::single_file(dir_fd, "s.txt", 1, if_taken::refuse, "/s.txt");
    auto beyond = upload::single_file(dir_fd, "t.txt", 1, if_taken::refuse, "/t.txt");
    EXPECT_STREQ(beyond->status(), "503 Service Unavailable");
    EXPECT_EQ(feed(*single, "s", whole), upload::state::stored);
    EXPECT_EQ(feed(*waiting, two.substr(two.rfind("b\r\n")), whole), upload::state::stored);
    auto after = form(three, boundary);
    EXPECT_EQ(feed(*after, three, whole), upload::state::stored) << after->reason();
    EXPECT_EQ(stored().size(), 6u);
}

TEST_F(Upload, AnUploadCutOffLeavesNothing) {
    std::string boundary;
    const std::string body = form_body({{file_part("cut.bin"), std::string(600, 'c')}}, &boundary);
    for (size_t piece : piece_sizes) {
        for (size_t cut : {size_t{1}, body.size() / 2, body.size() - 1}) {
            auto u = form(body, boundary);
            EXPECT_EQ(feed(*u, body.substr(0, cut), piece), upload::state::receiving);
            u.reset();
            EXPECT_EQ(stored(), files{}) << "cut at " << cut << ", pieces of " << piece;
        }
    }
    auto single = upload::single_file(dir_fd, "cut.bin", 100, if_taken::refuse, "/cut.bin");
    EXPECT_EQ(feed(*single, std::string(99, 'c'), whole), upload::state::receiving);
    single.reset();
    EXPECT_EQ(stored(), files{});
}

TEST_F(Upload, SingleFilesAreExactNeverTooLongAndReplaceOnlyWhenAllowed) {
    const std::string content = awkward_content() + std::string(9000, 'z');
    for (size_t piece : piece_sizes) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        auto u = upload::single_file(dir_fd, "new.bin", off_t(content.size()), if_taken::refuse,
                                     "/new.bin");
        EXPECT_EQ(feed(*u, content, piece), upload::state::stored);
        EXPECT_STREQ(u->status(), "201 Created");
        EXPECT_EQ(u->location(), "/new.bin");
        EXPECT_EQ(stored(), (files{{"new.bin", content}}));
        fs::remove(dir / "new.bin");
    }
    // Bytes beyond the announced length in the last piece.
    auto longer = upload::single_file(dir_fd, "long.bin", 10, if_taken::refuse, "/long.bin");
    EXPECT_EQ(longer->take("0123456789+", 11), upload::state::failed);
    EXPECT_STREQ(longer->status(), "400 Bad Request");
    EXPECT_EQ(stored(), files{});

    auto empty = upload::single_file(dir_fd, "empty", 0, if_taken::refuse, "/empty");
    EXPECT_EQ(empty->take(nullptr, 0), upload::state::stored);

    put_file("old.txt", "old");
    auto conflict = upload::single_file(dir_fd, "old.txt", 3, if_taken::refuse, "/old.txt");
    EXPECT_EQ(feed(*conflict, "new", whole), upload::state::failed);
    EXPECT_STREQ(conflict->status(), "409 Conflict");
    EXPECT_EQ(stored(), (files{{"empty", ""}, {"old.txt", "old"}}));

    auto replacing = upload::single_file(dir_fd, "old.txt", 3, if_taken::replace, "/old.txt");
    EXPECT_EQ(feed(*replacing, "new", whole), upload::state::stored);
    EXPECT_EQ(stored(), (files{{"empty", ""}, {"old.txt", "new"}}));
}

// A file size limit fails a write with EFBIG (and raises SIGXFSZ, which the
// server ignores): the upload is refused as on a full disk.
TEST_F(Upload, AFileSizeLimitIsAnsweredLikeAFullDisk) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    const auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string content(100 * 1024, 'f');
    auto single =
        upload::single_file(dir_fd, "big.bin", off_t(content.size()), if_taken::refuse, "/big.bin");
    feed(*single, content, 4096);
    std::string boundary;
    const std::string body = form_body({{file_part("big.bin"), content}}, &boundary);
    auto u = form(body, boundary);
    feed(*u, body, 4096);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    for (const upload* done : {single.get(), u.get()}) {
        EXPECT_EQ(done->current(), upload::state::failed);
        EXPECT_STREQ(done->status(), "507 Insufficient Storage");
    }
    EXPECT_EQ(stored(), files{});
}

}  // namespace
