// The directory listing, written from a real temporary directory of awkward
// names, links and things that must not be listed.
#include "app/listing.h"
#include "app/listing_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "http/http_utils.h"

namespace {

namespace fs = std::filesystem;

const time_t fixed_mtime = 1700000000;  // 2023-11-14 22:13:20 UTC
const char* const fixed_time_shown =
    "<time datetime=\"2023-11-14T22:13:20Z\">2023-11-14 22:13</time>";

struct listed_entry {
    std::string name;
    bool dir;
    std::string shown;    // the name as the page shows it
    std::string encoded;  // its href with decoded paths
    std::string raw;      // its href, escaped for HTML, without them; "" when not linked
};

// In the order the page lists them. Files hold their own name, so their size is its length;
// the link to a file is the 1536-byte file outside.
const std::vector<listed_entry> listed = {
    {"Upper dir", true, "Upper dir/", "Upper%20dir/", ""},
    {"link-to-dir", true, "link-to-dir/", "link-to-dir/", "link-to-dir/"},
    {"sub", true, "sub/", "sub/", "sub/"},
    {"12:30.txt", false, "12:30.txt", "12%3A30.txt", "./12:30.txt"},
    {"<img src=x onerror=alert(1)>", false, "&lt;img src=x onerror=alert(1)&gt;",
     "%3Cimg%20src%3Dx%20onerror%3Dalert%281%29%3E", ""},
    {"<script>alert(1)", false, "&lt;script&gt;alert(1)", "%3Cscript%3Ealert%281%29", ""},
    {"a<b>.txt", false, "a&lt;b&gt;.txt", "a%3Cb%3E.txt", ""},
    {"amp&er", false, "amp&amp;er", "amp%26er", "amp&amp;er"},
    {"hash#tag", false, "hash#tag", "hash%23tag", ""},
    {"it's", false, "it&#39;s", "it%27s", "it&#39;s"},
    {"link-to-file", false, "link-to-file", "link-to-file", "link-to-file"},
    {"per%cent", false, "per%cent", "per%25cent", ""},
    {"q\"uote", false, "q&quot;uote", "q%22uote", ""},
    {"what?", false, "what?", "what%3F", ""},
    {"with space", false, "with space", "with%20space", ""},
    {"\xC3\xA9t\xC3\xA9.txt", false, "\xC3\xA9t\xC3\xA9.txt", "%C3%A9t%C3%A9.txt", ""},
};

class Listing : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        root = fs::temp_directory_path() / ("websrv-listing-" + std::to_string(getpid()));
        dir = root / "listed";
        fs::create_directories(root / "outside-dir");
        write(root / "outside.bin", std::string(1536, 'x'));
        fs::create_directories(dir);
        for (const listed_entry& e : listed) {
            if (e.dir && e.name != "link-to-dir") fs::create_directory(dir / e.name);
            if (!e.dir && e.name != "link-to-file") write(dir / e.name, e.name);
        }
        fs::create_directory_symlink(root / "outside-dir", dir / "link-to-dir");
        fs::create_symlink(root / "outside.bin", dir / "link-to-file");
        fs::create_symlink(root / "nowhere", dir / "broken");
        mkfifo((dir / "pipe").c_str(), 0644);
        write(dir / ".hidden", "");
        for (const auto& found : fs::directory_iterator(dir))
            set_mtime(found.path());
    }
    static void TearDownTestSuite() { fs::remove_all(root); }

    static void write(const fs::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static void set_mtime(const fs::path& path) {
        const timespec times[2] = {{fixed_mtime, 0}, {fixed_mtime, 0}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);  // follows links: the target's time shows
    }
    static std::string listing(const std::string& url_path, const listing_options& options) {
        return listing_of(dir, url_path, options);
    }
    static std::string listing_of(const fs::path& listed_dir, const std::string& url_path,
                                  const listing_options& options) {
        std::string page;
        EXPECT_TRUE(write_listing(listed_dir.string() + "/", url_path, options, &page));
        return page;
    }
    static std::string size_of(const listed_entry& e) {
        if (e.dir) return "0";
        return std::to_string(e.name == "link-to-file" ? 1536 : e.name.size());
    }
    static std::string size_shown(const listed_entry& e) {
        if (e.dir) return "-";
        if (e.name == "link-to-file") return "1.5 KiB";
        return std::to_string(e.name.size()) + " B";
    }
    // Each row where it must be, after the one before it.
    static void expect_rows(const std::string& page, bool decoded_paths) {
        size_t previous = page.find("<table>");
        for (const listed_entry& e : listed) {
            const std::string& href = decoded_paths ? e.encoded : e.raw;
            const std::string name_cell =
                href.empty() ? e.shown : "<a href=\"" + href + "\">" + e.shown + "</a>";
            const std::string row =
                std::string(e.dir ? "<tr data-dir=\"1\" " : "<tr ") + "data-size=\"" + size_of(e) +
                "\" data-mtime=\"" + std::to_string(fixed_mtime) + "\"><td>" + name_cell +
                "</td><td>" + size_shown(e) + "</td><td>" + fixed_time_shown + "</td></tr>\n";
            const size_t at = page.find(row);
            ASSERT_NE(at, std::string::npos) << row;
            EXPECT_GT(at, previous) << row;
            previous = at;
        }
    }

    static inline fs::path root, dir;
};

TEST_F(Listing, DecodedPathsLinkEveryNamePercentEncoded) {
    const std::string page = listing("/listed/", {.decoded_paths = true});
    expect_rows(page, true);
    for (const listed_entry& e : listed) {
        std::string decoded;
        EXPECT_TRUE(percent_decode(e.encoded, &decoded)) << e.encoded;
        EXPECT_EQ(decoded, e.name + (e.dir ? "/" : ""));
    }
}

TEST_F(Listing, RawPathsLinkOnlyNamesAClientSendsUnchanged) {
    expect_rows(listing("/listed/", {}), false);
}

TEST_F(Listing, NeverShowsMarkupTargetsOrWhatCannotBeServed) {
    for (const bool decoded_paths : {false, true}) {
        const std::string page = listing("/listed/", {.decoded_paths = decoded_paths});
        for (const char* absent :
             {"<script>alert", "<img", "://", "outside", "nowhere", "broken", "pipe", ">.hidden"})
            EXPECT_EQ(page.find(absent), std::string::npos) << absent;
        EXPECT_EQ(page.find(root.string()), std::string::npos);
        EXPECT_NE(page.find("<meta name=\"viewport\" content=\"width=device-width, "
                            "initial-scale=1\">"),
                  std::string::npos);
    }
}

TEST_F(Listing, OptionsAndPlaceDecideParentHiddenFormAndTitle) {
    const char* const form = "<form method=\"post\" enctype=\"multipart/form-data\"";
    const char* const file_input = "<input type=\"file\" name=\"file\" multiple>";
    struct row {
        std::string url_path;
        listing_options options;
        bool parent, hidden, form;
        std::string title;
        std::string heading;  // the path as links to each folder on the way
    };
    const row rows[] = {
        {"/", {}, false, false, false, "Index of /", "<a href=\"/\">/</a>"},
        {"/listed/",
         {.show_hidden = true},
         true,
         true,
         false,
         "Index of /listed/",
         "<a href=\"/\">/</a><a href=\"/listed/\">listed/</a>"},
        {"/a%20b/c/",
         {.upload_form = true},
         true,
         false,
         true,
         "Index of /a%20b/c/",
         "<a href=\"/\">/</a>a%20b/c/"},
        {"/%C3%A9t%C3%A9%20%26%20%3Cco%3E/",
         {.decoded_paths = true},
         true,
         false,
         false,
         "Index of /\xC3\xA9t\xC3\xA9 &amp; &lt;co&gt;/",
         "<a href=\"/\">/</a><a href=\"/%C3%A9t%C3%A9%20%26%20%3Cco%3E/\">\xC3\xA9t\xC3\xA9 &amp; "
         "&lt;co&gt;/</a>"},
        {"/bad%zz/x/",
         {.decoded_paths = true},
         true,
         false,
         false,
         "Index of /bad%zz/x/",
         "<a href=\"/\">/</a><a href=\"/bad%zz/\">bad%zz/</a><a href=\"/bad%zz/x/\">x/</a>"},
    };
    for (const row& r : rows) {
        const std::string page = listing(r.url_path, r.options);
        const auto has = [&page](const std::string& text) {
            return page.find(text) != std::string::npos;
        };
        EXPECT_EQ(has("<a href=\"../\">"), r.parent) << r.url_path;
        EXPECT_EQ(has(">.hidden</"), r.hidden) << r.url_path;
        EXPECT_EQ(has(form), r.form) << r.url_path;
        EXPECT_EQ(has(file_input), r.form) << r.url_path;
        EXPECT_TRUE(has("<title>" + r.title + "</title>")) << r.url_path;
        EXPECT_TRUE(has("<h1>Index of " + r.heading + "</h1>")) << r.url_path << "\n" << page;
    }
}

// The page offers, through its script, what the user's rights allow, and
// only where the server decodes the paths the script sends; a search page
// offers nothing.
TEST_F(Listing, TheScriptOffersOnlyWhatTheRightsAllow) {
    struct row {
        listing_options options;
        const char* can;  // the body's data-can; "" for none
    };
    const row rows[] = {
        {{.decoded_paths = true}, "download"},
        {{.upload_form = true, .decoded_paths = true}, "download upload"},
        {{.upload_form = true, .decoded_paths = true, .replace = true}, "download upload replace"},
        {{.upload_form = true, .decoded_paths = true, .make_folders = true, .change = true},
         "download upload folders change"},
        {{.show_hidden = true, .upload_form = true, .decoded_paths = true},
         "download upload hidden"},
        {{.upload_form = true, .make_folders = true, .change = true}, ""},
    };
    for (const row& r : rows) {
        const std::string page = listing("/listed/", r.options);
        const std::string can =
            *r.can == 0 ? "<body>" : "<body data-can=\"" + std::string(r.can) + "\">";
        EXPECT_NE(page.find(can), std::string::npos) << r.can;
        EXPECT_EQ(page.find("id=\"tools\"") != std::string::npos, *r.can != 0) << r.can;
        std::string found;
        ASSERT_TRUE(
            write_search(dir.string() + "/", dir.string() + "/", "/", "t", r.options, {}, &found));
        EXPECT_NE(found.find("<body>"), std::string::npos) << "a search page offers nothing";
    }
}

// The order a page without script is asked for: folders first, then the
// key, names in byte order among equals; the column heads ask for the other
// orders.
TEST_F(Listing, RowsComeInTheOrderAskedFor) {
    const fs::path sorted = root / "sorted";
    fs::create_directories(sorted / "zdir");
    fs::create_directories(sorted / "adir");
    const struct {
        const char* name;
        size_t size;
        time_t mtime;
    } files[] = {{"b.txt", 30, 300}, {"a.txt", 10, 200}, {"c.txt", 20, 100}, {"d.txt", 10, 400}};
    for (const auto& f : files) {
        write(sorted / f.name, std::string(f.size, 'x'));
        const timespec times[2] = {{f.mtime, 0}, {f.mtime, 0}};
        utimensat(AT_FDCWD, (sorted / f.name).c_str(), times, 0);
    }
    struct row {
        listing_options options;
        std::vector<std::string> order;
        const char* size_link;  // the head of the size column links to this order
    };
    const row rows[] = {
        {{}, {"adir", "zdir", "a.txt", "b.txt", "c.txt", "d.txt"}, "?sort=size"},
        {{.descending = true}, {"zdir", "adir", "d.txt", "c.txt", "b.txt", "a.txt"}, "?sort=size"},
        {{.sort_by = listing_sort::size},
         {"adir", "zdir", "a.txt", "d.txt", "c.txt", "b.txt"},
         "?sort=size&amp;order=desc"},
        {{.sort_by = listing_sort::size, .descending = true},
         {"zdir", "adir", "b.txt", "c.txt", "d.txt", "a.txt"},
         "?sort=size"},
        {{.sort_by = listing_sort::date}, {"adir", "zdir", "c.txt", "a.txt", "b.txt", "d.txt"}, ""},
    };
    for (const row& r : rows) {
        const std::string page = listing_of(sorted, "/sorted/", r.options);
        size_t previous = 0;
        for (const std::string& name : r.order) {
            const size_t at = page.find(">" + name + (name.ends_with("dir") ? "/<" : "<"));
            ASSERT_NE(at, std::string::npos) << name;
            EXPECT_GT(at, previous) << name << " out of order";
            previous = at;
        }
        if (*r.size_link != 0) {
            EXPECT_NE(page.find("<a href=\"" + std::string(r.size_link) + "\">Size</a>"),
                      std::string::npos);
        }
    }
}

// A search walks below the folder within its bounds, never out of the root
// and never into hidden names where they are hidden; the page says when a
// bound stopped it.
TEST_F(Listing, SearchesStayInTheRootAndWithinTheirBounds) {
    const fs::path share = root / "share";
    fs::path deep = share;
    for (int depth = 0; depth < 30; ++depth) {
        deep /= "level" + std::to_string(depth);
        fs::create_directories(deep);
        write(deep / ("Match-" + std::to_string(depth) + ".txt"), "m");
    }
    fs::create_directories(root / "beyond");
    write(root / "beyond" / "match-outside.txt", "o");
    fs::create_directory_symlink(root / "beyond", share / "out-link");
    fs::create_directory_symlink(share / "level0", share / "level0" / "loop-match");
    fs::create_directories(share / ".hidden-dir");
    write(share / ".hidden-dir" / "match-hidden.txt", "h");
    struct row {
        const char* text;
        listing_options options;
        search_limits limits;
        size_t found;  // rows of names found
        bool stopped;
        const char* present;  // a path that must be found; "" for none
        const char* absent;   // one that must not be
    };
    const row rows[] = {
        {"MATCH", {}, {}, 31, false, "level0/level1/Match-1.txt", "match-outside"},
        {"match", {}, {}, 31, false, "level0/loop-match/", ".hidden-dir"},
        {"match", {.show_hidden = true}, {}, 32, false, ".hidden-dir/match-hidden.txt", "outside"},
        // The walk goes a folder at a time: 9 entries are the first three folders'.
        {"match", {}, {.entries_max = 9}, 4, true, "level0/Match-0.txt", "Match-3.txt"},
        {"match", {}, {.results_max = 3}, 3, true, "", "Match-9.txt"},
        {"match", {}, {.time_max_ms = 0}, 0, true, "", "Match-0"},
        {"nothing", {}, {}, 0, false, "", "<tr data-size"},
    };
    for (const row& r : rows) {
        std::string page;
        ASSERT_TRUE(write_search(share.string() + "/", share.string() + "/", "/", r.text, r.options,
                                 r.limits, &page));
        SCOPED_TRACE(std::string(r.text) + "\n" + page);
        size_t rows_found = 0;
        for (size_t at = page.find("<tr data-"); at != std::string::npos;
             at = page.find("<tr data-", at + 1))
            ++rows_found;
        EXPECT_EQ(rows_found, r.found);
        EXPECT_EQ(page.find("The search stopped there") != std::string::npos, r.stopped);
        if (*r.present != 0) {
            EXPECT_NE(page.find(std::string("<a href=\"") + r.present + "\">"), std::string::npos);
        }
        EXPECT_EQ(page.find(r.absent), std::string::npos);
    }
    std::string page = "stale";
    EXPECT_FALSE(write_search(share.string() + "/", root.string() + "/beyond/", "/x/", "match", {},
                              {}, &page))
        << "a folder outside the root is not searched";
    EXPECT_EQ(page, "");
}

TEST_F(Listing, ADirectoryThatCannotBeReadGivesNothing) {
    for (const std::string& missing :
         {(root / "nowhere").string() + "/", (dir / "amp&er").string() + "/"}) {
        std::string page = "stale", json = "stale";
        EXPECT_FALSE(write_listing(missing, "/x/", {}, &page)) << missing;
        EXPECT_EQ(page, "");
        EXPECT_FALSE(write_listing_json(missing, {}, &json)) << missing;
        EXPECT_EQ(json, "");
    }
}

TEST_F(Listing, JsonEscapesNamesAndStaysValidForAnyBytes) {
    const fs::path json_dir = root / "json";
    fs::create_directories(json_dir / "d");
    const char* const names[] = {"back\\slash", "bad\xFF\xC0\xAF\xED\xA0\x80\xE2\x82", "q\"uote",
                                 "tab\tname",   "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80",  ".hidden"};
    for (const char* name : names)
        write(json_dir / name, "12345");
    for (const auto& found : fs::directory_iterator(json_dir))
        set_mtime(found.path());
    std::string replaced;  // each of the 8 bytes that are not well-formed UTF-8
    for (int i = 0; i < 8; ++i)
        replaced += "\\ufffd";
    const std::string tail = "\"type\":\"file\",\"size\":5,\"mtime\":1700000000}";
    // Every name has the href that fetches it, whatever its bytes.
    const std::string want =
        "[\n{\"name\":\"d\",\"href\":\"d/\",\"type\":\"dir\",\"size\":0,\"mtime\":1700000000},\n"
        "{\"name\":\"back\\\\slash\",\"href\":\"back%5Cslash\"," +
        tail +
        ",\n"
        "{\"name\":\"bad" +
        replaced + "\",\"href\":\"bad%FF%C0%AF%ED%A0%80%E2%82\"," + tail +
        ",\n"
        "{\"name\":\"q\\\"uote\",\"href\":\"q%22uote\"," +
        tail +
        ",\n"
        "{\"name\":\"tab\\u0009name\",\"href\":\"tab%09name\"," +
        tail +
        ",\n"
        "{\"name\":\"\xC3\xA9t\xC3\xA9 "
        "\xF0\x9F\x98\x80\",\"href\":\"%C3%A9t%C3%A9%20%F0%9F%98%80\"," +
        tail + "\n]\n";
    std::string json;
    ASSERT_TRUE(write_listing_json(json_dir.string() + "/", {.decoded_paths = true}, &json));
    EXPECT_EQ(json, want);
    // Without decoded paths only names a client sends unchanged can be linked.
    ASSERT_TRUE(write_listing_json(json_dir.string() + "/", {}, &json));
    EXPECT_NE(json.find("\"name\":\"q\\\"uote\",\"href\":null,"), std::string::npos) << json;
    ASSERT_TRUE(write_listing_json(json_dir.string() + "/", {.show_hidden = true}, &json));
    EXPECT_NE(json.find("{\"name\":\".hidden\","), std::string::npos);
}

double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A regression guard against work that grows faster than the entries; the bound is generous
// for a shared machine, and the measured time is printed.
TEST_F(Listing, TenThousandEntriesListQuickly) {
    const fs::path many = root / "many";
    fs::create_directories(many);
    const int count = 10000;
    for (int i = 0; i < count; ++i)
        close(open((many / ("file-" + std::to_string(i) + ".txt")).c_str(),
                   O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    std::string page, json;
    const double start = cpu_seconds();
    ASSERT_TRUE(write_listing(many.string() + "/", "/many/", {}, &page));
    const double page_done = cpu_seconds();
    ASSERT_TRUE(write_listing_json(many.string() + "/", {}, &json));
    const double json_done = cpu_seconds();
    std::cout << "10000 entries: page " << (page_done - start) * 1000 << " ms of CPU ("
              << page.size() << " bytes), JSON " << (json_done - page_done) * 1000 << " ms\n";
    EXPECT_LT(page_done - start, 1.0);
    EXPECT_LT(json_done - page_done, 1.0);
    size_t rows = 0;
    for (size_t at = page.find("<tr"); at != std::string::npos; at = page.find("<tr", at + 1))
        ++rows;
    EXPECT_EQ(rows, count + 2u);  // the heading and the parent too
    EXPECT_LT(page.find("file-0.txt"), page.find("file-1.txt"));
    EXPECT_LT(page.find("file-10.txt"), page.find("file-2.txt"));  // bytes, not numbers
}

}  // namespace

namespace {

ino_t inode_of(int fd) {
    struct stat info {};
    fstat(fd, &info);
    close(fd);
    return info.st_ino;
}

// Readers of one version of a page share one file in memory; a change of the
// directory, the page's time running out, and another form of it each make
// a new one.
TEST_F(Listing, PagesAreBuiltOncePerVersionAndShared) {
    const fs::path changing = root / "changing";
    fs::create_directories(changing);
    const std::string path = changing.string() + "/";
    listing_cache cache;
    auto ask = [&](long long now_ms, bool json = false, const std::string& dir = "") {
        listing_request what;
        what.dir = dir.empty() ? path : dir;
        what.url_path = "/changing/";
        what.json = json;
        return cache.page(what, now_ms, nullptr);
    };
    auto page = [&](long long now_ms, bool json = false) {
        listing_page p = ask(now_ms, json);
        EXPECT_TRUE(p.listed);
        return inode_of(p.fd);
    };
    const ino_t first = page(0);
    EXPECT_EQ(page(999), first) << "one copy for every reader within the second";
    EXPECT_NE(page(0, true), first) << "the JSON form is a page of its own";
    std::vector<ino_t> forms = {first};
    for (const bool search : {false, true}) {
        listing_request other;
        other.dir = other.root = path;
        other.url_path = "/changing/";
        other.options.sort_by = listing_sort::size;
        if (search) other.search = "new";
        const listing_page p = cache.page(other, 0, nullptr);
        EXPECT_TRUE(p.listed);
        const ino_t page_of_form = inode_of(p.fd);
        EXPECT_EQ(std::count(forms.begin(), forms.end(), page_of_form), 0)
            << "each order and each search is a page of its own";
        forms.push_back(page_of_form);
    }
    EXPECT_NE(page(1000), first) << "sizes written in place show within a second";
    const ino_t second = page(1000);
    std::ofstream(changing / "new.txt") << "new";
    // A directory's time may not move within the same tick: wait for the next.
    usleep(20000);
    std::ofstream(changing / "newer.txt") << "newer";
    listing_page changed = ask(1000);
    std::string text(static_cast<size_t>(changed.info.st_size), '\0');
    ASSERT_EQ(pread(changed.fd, text.data(), text.size(), 0), changed.info.st_size);
    EXPECT_NE(inode_of(changed.fd), second);
    EXPECT_NE(text.find("newer.txt"), std::string::npos) << "a new entry shows at once";
    EXPECT_LE(cache.pages(), 4u);
    EXPECT_FALSE(ask(0, false, path + "missing/").listed);
}

// On a pool, a page is built on its thread: every reader of the same
// directory, however it spelled the path, waits for the one build, and the
// pages kept hold a bounded number of bytes.
TEST_F(Listing, PagesAreBuiltOnAPoolOncePerDirectory) {
    const fs::path dir = root / "pooled";
    fs::create_directories(dir / "sub");
    for (int i = 0; i < 2000; ++i)
        std::ofstream(dir / ("file-" + std::to_string(i) + ".txt")) << i;
    work_pool builds(1, 4);
    listing_cache cache;
    listing_request what;
    what.dir = dir.string() + "/";
    what.url_path = "/pooled/";
    listing_request spelled = what;
    spelled.dir = (dir / "sub" / "..").string() + "/";
    const listing_page first = cache.page(what, 0, &builds);
    ASSERT_TRUE(first.building) << "built on the pool's thread";
    const listing_page second = cache.page(spelled, 0, &builds);
    EXPECT_EQ(second.building, first.building) << "another spelling waits for the same build";
    for (int i = 0; i < 5000 && !first.building->done(); ++i)
        usleep(1000);
    ASSERT_TRUE(first.building->done());
    const listing_page a = cache.page(what, 1, &builds);
    const listing_page b = cache.page(spelled, 1, &builds);
    ASSERT_TRUE(a.listed && b.listed);
    EXPECT_EQ(inode_of(a.fd), inode_of(b.fd));
    EXPECT_EQ(cache.pages(), 1u);
    EXPECT_LE(cache.bytes(), listing_cache::max_bytes);
    listing_request missing = what;
    missing.dir = (dir / "missing").string() + "/";
    EXPECT_FALSE(cache.page(missing, 1, &builds).listed) << "not built for at all";
}

}  // namespace
