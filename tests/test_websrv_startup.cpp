// Start-up of the real websrv binary: its log, its configuration file and
// its first connections.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <vector>

#include "blackbox_support.h"

namespace {

using namespace blackbox;

const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d \(UTC\))";
const std::string separator = "//" + std::string(75, '-');

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The settings dump of a start, as "key=value" lines without the "////".
std::vector<std::string> dumped_settings(const std::string& log) {
    std::vector<std::string> dump;
    bool inside = false;
    for (const std::string& line : lines_of(log)) {
        if (line == "////params:") {
            inside = true;
        } else if (inside && line.rfind("////", 0) == 0) {
            dump.push_back(line.substr(4));
        } else if (inside) {
            break;
        }
    }
    return dump;
}

std::string setting(const std::string& log, const std::string& key) {
    for (const std::string& entry : dumped_settings(log)) {
        if (entry.rfind(key + "=", 0) == 0) return entry.substr(key.size() + 1);
    }
    return "<missing>";
}

// Starts a copy with `config` and returns its log once start-up is over.
std::string start_with(websrv_process& process, const std::string& config) {
    process.configure(config);
    process.start();
    EXPECT_TRUE(process.wait_for_log("server activated") ||
                process.wait_for_log("can not activate server", 1, 0.1))
        << process.log();
    return process.log();
}

TEST(WebsrvStartup, WithoutAConfigurationFileTheLogHoldsThirteenLines) {
    if (!outside_private_network().empty()) {
        GTEST_SKIP() << "it would listen on port 80 of this host, and there is no network "
                        "namespace of its own: "
                     << outside_private_network();
    }
    websrv_process process;
    process.start();
    ASSERT_TRUE(process.wait_for_log(" server activated\n")) << process.log();
    std::vector<std::string> lines = lines_of(process.log());
    std::vector<std::string> expected = {
        separator,
        stamp + " logging started",
        "////can not read cfg-file",
        "////can not parse params",
        "////params:",
        "////ip=0",
        "////port=80",
        "////login=user",
        "////password=5712",
        "////root=\\./root/",
        "////sizeof_in=10240",
        "////sizeof_out=1048576",
        stamp + " server activated",
    };
    ASSERT_EQ(lines.size(), expected.size()) << process.log();
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i])))
            << "line " << i + 1 << ": " << lines[i];
    }
}

TEST(WebsrvStartup, ConfigurationChangesPortAndRoot) {
    websrv_process process;
    unsigned short port = free_port();
    std::string log =
        start_with(process, "// a comment\r\nip=127.0.0.1\r\nport=" + std::to_string(port) +
                                "\r\nroot=/srv/www\r\n");
    EXPECT_EQ(log.find("can not"), std::string::npos) << log;
    EXPECT_EQ(setting(log, "port"), std::to_string(port)) << "CR LF line ends read alike";
    EXPECT_EQ(setting(log, "root"), "/srv/www/") << "the separator the root needs is added";
    EXPECT_EQ(setting(log, "ip"), "127.0.0.1");
    EXPECT_EQ(setting(log, "login"), "user");
    EXPECT_EQ(dumped_settings(log).size(), 7u) << "keys the file does not set are not dumped";
    int client = connect_to(port);
    EXPECT_NE(client, -1) << "it listens on the configured port";
    if (client != -1) close(client);
    EXPECT_EQ(read_file(process.dir / "stderr.txt"),
              "./websrv: the default password is in force: set the key password in ./websrv.cfg\n");

    websrv_process own_password;
    start_with(own_password,
               "ip=127.0.0.1\nport=" + std::to_string(free_port()) + "\npassword=x7!kQ\n");
    EXPECT_EQ(read_file(own_password.dir / "stderr.txt"), "");
}

TEST(WebsrvStartup, ConfigurationLineRules) {
    struct row {
        const char* description;
        std::string config;
        std::string login;  // the login that start-up must end up with
        bool parse_error;
    };
    const std::vector<row> rows = {
        {"empty file", "", "user", false},
        {"only comments and empty lines", "// x\n\n//login=no\n", "user", false},
        {"a comment needs both slashes at the start", " //login=a\nlogin=b\n", "b", false},
        {"first key wins", "login=first\nlogin=second\n", "first", false},
        {"a key keeps its spaces", "login =spaced\n", "user", false},
        {"the value keeps later equals signs", "login=a=b\n", "a=b", false},
        {"an empty value", "login=\n", "", false},
        {"a line without = joins the next key", "x\nlogin=joined\n", "user", false},
        {"# begins no comment beside the executable", "#x\nlogin=joined\n", "user", false},
        {"a line without = at the end", "login=kept\nx\n", "user", true},
        {"a file without a final line feed", "login=last", "last", false},
    };
    for (const row& r : rows) {
        websrv_process process;
        std::string config = "ip=127.0.0.1\nport=" + std::to_string(free_port()) + "\n" + r.config;
        std::string log = start_with(process, config);
        EXPECT_EQ(setting(log, "login"), r.login) << r.description;
        EXPECT_EQ(log.find("////can not parse params") != std::string::npos, r.parse_error)
            << r.description;
        EXPECT_EQ(read_file(process.dir / "stderr.txt").find("can not parse") != std::string::npos,
                  r.parse_error)
            << r.description << ": an operator looks at standard error first";
        EXPECT_EQ(log.find("////can not read cfg-file"), std::string::npos) << r.description;
    }
}

TEST(WebsrvStartup, SiteKeysAreDumpedOnlyWhenSet) {
    const std::vector<std::string> specified = {"ip",   "port",      "login",     "password",
                                                "root", "sizeof_in", "sizeof_out"};
    struct row {
        const char* description;
        std::string config;               // `table` stands for a file of the test's
        std::string table;                // what that file holds; empty: it is not written
        std::vector<std::string> dumped;  // the lines after sizeof_out
        bool unreadable;
    };
    const std::vector<row> rows = {
        {"none of them", "", "", {}, false},
        {"all five",
         "content_types=table\ndecode_path=1\nindex=index.html\nhttp10=1\nhead=1\n",
         "text/css css\n",
         {"content_types=table", "decode_path=1", "index=index.html", "http10=1", "head=1"},
         false},
        {"the keys of files, listings, uploads and logins, as they are taken",
         "large_files=1\nranges=1\nconditional=1\nlisting=all\nupload=replace\n"
         "upload_max=1000\nlogin_limit=500\n",
         "",
         {"large_files=1", "ranges=1", "conditional=1", "listing=all", "upload=replace",
          "upload_max=1000", "login_limit=100"},
         false},
        {"values that are not taken",
         "head=yes\nindex=../x\ndecode_path=0\n",
         "",
         {"decode_path=0", "index=index.htm", "head=0"},
         false},
        {"a table file that is not there",
         "content_types=table\n",
         "",
         {"content_types=table"},
         true},
        {"a table without entries",
         "content_types=table\n",
         "# nothing here\ntext/plain\n",
         {"content_types=table"},
         true},
        {"a directory", "content_types=root\n", "", {"content_types=root"}, true},
        {"a table over 1 MiB",
         "content_types=table\n",
         "text/css css\n#" + std::string(1 << 20, 'x') + "\n",
         {"content_types=table"},
         true},
    };
    for (const row& r : rows) {
        websrv_process process;
        fs::create_directories(process.dir / "root");
        if (!r.table.empty()) write_file(process.dir / "table", r.table);
        const std::string log = start_with(
            process, "ip=127.0.0.1\nport=" + std::to_string(free_port()) + "\n" + r.config);
        std::vector<std::string> dump = dumped_settings(log);
        ASSERT_GE(dump.size(), specified.size()) << r.description;
        for (size_t i = 0; i < specified.size(); ++i)
            EXPECT_EQ(dump[i].substr(0, dump[i].find('=')), specified[i]) << r.description;
        dump.erase(dump.begin(), dump.begin() + static_cast<long>(specified.size()));
        EXPECT_EQ(dump, r.dumped) << r.description;

        const std::string file = r.config.find("=root") != std::string::npos ? "root" : "table";
        const bool reported = log.find("////can not read content types: " + file +
                                       "\n////params:\n") != std::string::npos;
        EXPECT_EQ(reported, r.unreadable) << r.description << "\n" << log;
        EXPECT_EQ(read_file(process.dir / "stderr.txt").find("can not read content types") !=
                      std::string::npos,
                  r.unreadable)
            << r.description;
    }
}

TEST(WebsrvStartup, NumbersAreConvertedLikeAtoi) {
    websrv_process wraps;
    const unsigned short port = free_port();  // written 65536 above itself
    std::string log = start_with(wraps, "ip=127.0.0.1\nport=" + std::to_string(65536 + port) +
                                            "\nsizeof_in=0\nsizeof_out=-5\n"
                                            "job_timeout=2000\nwake_on_io=1\n");
    EXPECT_EQ(setting(log, "port"), std::to_string(port)) << "the low 16 bits";
    EXPECT_EQ(setting(log, "sizeof_in"), "10240")
        << "a size that is not positive keeps its default";
    EXPECT_EQ(setting(log, "sizeof_out"), "1048576");
    std::vector<std::string> dump = dumped_settings(log);
    ASSERT_EQ(dump.size(), 9u);
    EXPECT_EQ(dump[7], "wake_on_io=1") << "the optional keys come last, in this order";
    EXPECT_EQ(dump[8], "job_timeout=2000");

    websrv_process words;
    log = start_with(words,
                     "ip=127.0.0.1\nport=abc\nsizeof_in=2048x\nwake_on_io=yes\njob_timeout=-5\n");
    EXPECT_EQ(setting(log, "port"), "0");
    EXPECT_EQ(setting(log, "sizeof_in"), "2048");
    EXPECT_EQ(setting(log, "wake_on_io"), "0") << "off: the value in force";
    EXPECT_EQ(setting(log, "job_timeout"), "0") << "no limit";
}

TEST(WebsrvStartup, FilesAreNamedAfterTheExecutableAsStarted) {
    websrv_process process;
    unsigned short port = free_port();
    write_file(process.dir / "sub" / "placeholder", "");
    process.configure("ip=127.0.0.1\nport=" + std::to_string(port) + "\n");
    process.start("../websrv", process.dir / "sub");
    ASSERT_TRUE(process.wait_for_log("server activated")) << process.log();
    EXPECT_EQ(setting(process.log(), "root"), "../root/");
    EXPECT_EQ(setting(process.log(), "port"), std::to_string(port));
}

TEST(WebsrvStartup, AFailedStartIsToldOnStandardErrorAndEndsItWithExitOnFailure) {
    // The holder asks for address reuse too, and websrv still must not bind beside it.
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    listen(holder, 1);
    socklen_t length = sizeof address;
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string taken = std::to_string(ntohs(address.sin_port));
    const std::string free = std::to_string(free_port());

    struct row {
        std::string config;
        std::string told;          // the line on standard error, after "./websrv: can not "
        bool exits;                // with status 1, within a second
        bool log_is_link = false;  // websrv.log is a symbolic link to a file of the folder
    };
    const std::string exit_on_failure = "exit_on_failure=1\n";
    const std::string held = "ip=127.0.0.1\nport=" + taken + "\n";
    const std::string named = "ip=localhost\nport=" + free + "\n";
    const std::string no_log = "ip=127.0.0.1\nport=" + free + "\nlog=missing/websrv.log\n";
    const std::string free_port_only = "ip=127.0.0.1\nport=" + free + "\n";
    const std::string in_use =
        "activate server on 127.0.0.1 port " + taken + ": Address already in use\n";
    const std::string not_opened = "open the log missing/websrv.log: No such file or directory\n";
    const std::vector<row> rows = {
        {held, in_use, false},
        {held + exit_on_failure, in_use, true},
        {named, "activate server on localhost port " + free + ": not an address\n", false},
        {no_log, not_opened, false},
        {no_log + exit_on_failure, not_opened, true},
        // A log is never opened through a link, and never taken from another user.
        {free_port_only + "log=link.log\n", "open the log link.log: it is a symbolic link\n",
         false},
        {free_port_only + "log=theirs.log\n" + exit_on_failure,
         "open the log theirs.log: it belongs to another user\n", true},
        {free_port_only, "open the log ./websrv.log: it is a symbolic link\n", false, true},
    };
    for (const row& r : rows) {
        websrv_process process;
        process.configure("password=not-the-default\n" + r.config);
        write_file(process.dir / "target.txt", "kept\n");
        fs::create_symlink("target.txt", process.dir / "link.log");
        if (r.log_is_link) fs::create_symlink("target.txt", process.dir / "websrv.log");
        write_file(process.dir / "theirs.log", "");
        fs::permissions(process.dir / "theirs.log", fs::perms(0600));
        if (chown((process.dir / "theirs.log").c_str(), 65534, 65534) != 0 &&
            r.told.find("another user") != std::string::npos) {
            continue;  // no file of another user can be made here
        }
        process.start();
        // The line comes first; a loaded machine (the sanitizer build beside
        // other tests) may take a while to write it.
        const std::string told = receive_until_file(process.dir / "stderr.txt", "\n");
        if (r.exits) {
            EXPECT_EQ(process.wait_for_exit(2.0), 1) << r.config;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_TRUE(process.alive()) << r.config;
        }
        EXPECT_EQ(told, "./websrv: can not " + r.told) << r.config;
        EXPECT_EQ(read_file(process.dir / "target.txt"), "kept\n") << r.config;
        if (r.told.starts_with("activate")) {
            // The log says it too: the engine's code, then the failure.
            std::vector<std::string> lines = lines_of(process.log());
            ASSERT_GE(lines.size(), 2u);
            EXPECT_TRUE(std::regex_match(
                lines[lines.size() - 2],
                std::regex(stamp + " server function call finished with error bind_failed")))
                << r.config;
            EXPECT_TRUE(
                std::regex_match(lines.back(), std::regex(stamp + " can not activate server")));
        }
    }
    close(holder);
}

TEST(WebsrvStartup, TheConfigurationFileCanBeNamedOnTheCommandLine) {
    for (const std::string option : {"-c", "--config"}) {
        websrv_process process;
        const unsigned short port = free_port();
        process.configure("port=1\n");  // the file beside the executable is not read
        write_file(process.dir / "etc" / "site.cfg",
                   "ip=127.0.0.1\npassword=s\nport=" + std::to_string(port) + "\n");
        process.start("./websrv", {}, {option, "etc/site.cfg"});
        ASSERT_TRUE(process.wait_for_log("server activated")) << option << process.log();
        EXPECT_EQ(setting(process.log(), "port"), std::to_string(port)) << option;
        EXPECT_EQ(setting(process.log(), "root"), "./root/")
            << "the default root stays beside the executable";
    }
    // What the file beside the executable tolerates, a file named with -c
    // does not: the server would otherwise run with the login everyone knows,
    // or on every default.
    struct refused {
        std::string config;  // empty: no file at all
        std::vector<std::string> told;
    };
    const std::string port = "port=" + std::to_string(free_port()) + "\n";
    const std::vector<refused> rows = {
        {"", {": error: can not read it: No such file or directory"}},
        {port + "pasword=mine\n",
         {":2: error: unknown key \"pasword\"",
          ": error: neither password= nor htpasswd= is set: the login user:5712, which everyone "
          "knows, would be in force"}},
        {port + "password=mine\nroot",
         {":3: error: no \"=\" on this line or any later one: the whole file is refused and "
          "every setting keeps its default (comments begin with // or #)",
          ": error: neither password= nor htpasswd= is set: the login user:5712, which everyone "
          "knows, would be in force"}},
    };
    for (const refused& r : rows) {
        websrv_process process;
        if (!r.config.empty()) write_file(process.dir / "site.cfg", r.config);
        process.start("./websrv", {}, {"-c", "site.cfg"});
        EXPECT_EQ(process.wait_for_exit(), 1) << r.config;
        std::vector<std::string> expected;
        for (const std::string& line : r.told)
            expected.push_back("site.cfg" + line);
        expected.push_back("site.cfg: configuration not ok: " + std::to_string(r.told.size()) +
                           " error" + (r.told.size() == 1 ? "" : "s"));
        EXPECT_EQ(lines_of(read_file(process.dir / "stderr.txt")), expected) << r.config;
        EXPECT_FALSE(fs::exists(process.dir / "websrv.log")) << r.config;
    }
}

TEST(WebsrvStartup, CheckReportsEveryLineNotUsedAsWritten) {
    struct row {
        std::string config;
        int errors;
        std::vector<std::string> told;  // every line but the last, after the file's name
        bool named = false;             // checked as a file named with -c
    };
    const std::string loopback = "ip=127.0.0.1\n";
    const std::string default_password =
        ": warning: the default password is in force; only this machine can connect, but set "
        "password= before ip opens the server to others";
    const std::vector<row> rows = {
        {loopback + "password=secret\nroot=root\n", 0, {}},
        {loopback, 0, {default_password}},
        {"ip=0\r\nlogin=me\r\n",
         1,
         {": error: the default password is in force and others can connect: set password="}},
        {loopback + "// a comment\r\nprot=8080\r\n",
         0,
         {":3: warning: unknown key \"prot\" is ignored", default_password}},
        {loopback + "port = 8080\n",
         1,
         {":2: error: spaces around the key \"port \": the line is ignored; write port=8080",
          default_password}},
        {loopback + "#port=81\n",
         0,
         {":2: warning: unknown key \"#port\" is ignored", default_password}},
        {loopback + "port=8080\nport=8081\n",
         0,
         {":3: warning: port is set on line 2 already: this line is ignored", default_password}},
        {"x\n\n" + loopback,
         2,
         {":1: error: no \"=\": the line is joined with line 3 into one key, and both are "
          "ignored (comments begin with //)",
          ": error: the default password is in force and others can connect: set password="}},
        {loopback + "password=secret\ny\n",
         2,
         {":3: error: no \"=\" on this line or any later one: the whole file is refused and every "
          "setting keeps its default (comments begin with //)",
          ": error: the default password is in force and others can connect: set password="}},
        {loopback + "password=s\nport=abc\nsizeof_in=0\njob_timeout=-5\nhead=yes\n",
         4,
         {":3: error: port: \"abc\" is not a number",
          ":4: error: sizeof_in: 0 is out of range (1 to 2147483647)",
          ":5: error: job_timeout: -5 is out of range (0 to 2147483647)",
          ":6: error: head: \"yes\" is not a number"}},
        {loopback + "password=s\nworkers=0\nwake_on_io=auto\n",
         2,
         {":3: error: workers: 0 is out of range (1 to 64)",
          ":4: error: wake_on_io: \"auto\" is not a number"}},
        {loopback + "password=s\nworkers=auto\n", 0, {}},
        {loopback + "password=s\nworkers=2\nwebdav=1\nrights=*:replace\n", 0, {}},
        {loopback + "password=s\nworkers=2\nwebdav=1\nrights=*:change\n",
         0,
         {":3: warning: each worker keeps its own WebDAV locks: a lock taken through one is not "
          "seen by the others (workers=1 keeps them all)"}},
        {loopback + "password=s\nport=70000\nip=1.2.3.4\n",
         1,
         {":3: error: port: 70000 is out of range (1 to 65535)",
          ":4: warning: ip is set on line 1 already: this line is ignored"}},
        {loopback + "password=s\ntrusted_proxies=127.0.0.1, 10.0.0.0/33\nproxy_protocol=1\n",
         2,
         {":3: error: trusted_proxies: \"10.0.0.0/33\" has no prefix length of its family",
          ":4: error: proxy_protocol=1 takes headers from trusted_proxies only, and it lists "
          "none"}},
        {loopback + "password=s\ntrusted_proxies=::1\nproxy_protocol=1\ntls_cert=c\n",
         2,
         {":5: error: tls_cert and tls_key go together",
          ":4: error: proxy_protocol=1 is for plain HTTP: put TLS at the proxy, without "
          "tls_cert"}},
        {"ip=localhost\npassword=s\n",
         1,
         {":1: error: ip: \"localhost\" is neither a dotted IPv4 address nor an IPv6 one (0: every "
          "interface; names are not looked up)"}},
        {loopback + "password=s\nroot=missing\ncontent_types=root\nindex=../x\n",
         3,
         {":3: error: root: missing: No such file or directory",
          ":4: error: content_types: root is not a readable table of content types (the "
          "built-in types would be used)",
          ":5: error: index: \"../x\" is not a plain file name (index.htm would be used)"}},
        // Every line of a password file that is not taken, with its line there.
        {loopback + "password=s\nhtpasswd=users\n",
         2,
         {":3: error: htpasswd: users:2: ann: an MD5-crypt hash is not taken (use bcrypt, "
          "yescrypt or SHA-512): ann cannot log in",
          ":3: error: htpasswd: users:3: ann: a second line for ann (the first is line 2): "
          "neither lets in; websrv --passwd changes a password in place"}},
        {loopback + "password=s\nlog=missing/x.log\n",
         1,
         {":3: error: log: the log missing/x.log can not be written: can not create it in "
          "missing/: No such file or directory"}},
        // A file named with -c: "#" begins a comment too, and what cannot be
        // waited on is refused, never waited on.
        {"# mine\n" + loopback + "password=s \nroot=root\n",
         0,
         {":3: warning: the value of password ends with a blank, which is part of it"},
         true},
        {"x\n" + loopback + "password=s\n",
         1,
         {":1: error: no \"=\": the line is joined with line 2 into one key, and both are "
          "ignored (comments begin with // or #)"},
         true},
        {loopback + "password=s\nlog=fifo\ncontent_types=fifo\n",
         2,
         {":3: error: log: the log fifo can not be written: it is not a regular file",
          ":4: error: content_types: fifo is not a readable table of content types (the "
          "built-in types would be used)"},
         true},
        {loopback + "prot=8080\npassword=s\n", 1, {":2: error: unknown key \"prot\""}, true},
        {loopback,
         1,
         {": error: neither password= nor htpasswd= is set: the login user:5712, which everyone "
          "knows, would be in force"},
         true},
        // Rights name users who can log in, at the levels there are.
        {loopback + "password=s\nrights=user:change,alice:read,*:create\n",
         1,
         {":3: error: rights: alice is no user who can log in"}},
        {loopback + "password=s\nrights=user:write\n",
         1,
         {":3: error: rights: \"user:write\" is not user:level (the levels are read, create, "
          "replace and change)"}},
        // Authentication is judged by what it exposes.
        {"ip=::1\n", 0, {default_password}},
        {"login=\npassword=\n",
         1,
         {":2: error: authentication is off (login= and password= are empty) and every "
          "interface can connect"}},
        {loopback + "login=\npassword=\n", 0, {}},
        {"ip=192.0.2.1\nlogin=\npassword=\n",
         0,
         {":3: warning: authentication is off (login= and password= are empty) and others can "
          "connect"},
         true},
        {"ip=192.0.2.1\npassword=5712\n",
         1,
         {":2: error: the default password is in force and others can connect: set password="},
         true},
    };
    for (const row& r : rows) {
        websrv_process process;
        fs::create_directories(process.dir / "root");
        mkfifo((process.dir / "fifo").c_str(), 0600);
        write_file(process.dir / "users",
                   "# users\nann:$1$Era0pxdE$uRMlYDYNBXXgIxKzB/ds7/\nann:x\n");
        const std::string file = r.named ? "site.cfg" : "./websrv.cfg";
        write_file(process.dir / file, r.config);
        process.start("./websrv", {},
                      r.named ? std::vector<std::string>{"--check", "-c", file}
                              : std::vector<std::string>{"--check"});
        EXPECT_EQ(process.wait_for_exit(), r.errors == 0 ? 0 : 1) << r.config;
        std::vector<std::string> told = lines_of(read_file(process.dir / "stderr.txt"));
        ASSERT_FALSE(told.empty()) << r.config;
        EXPECT_EQ(told.back(), r.errors == 0
                                   ? "configuration ok"
                                   : file + ": configuration not ok: " + std::to_string(r.errors) +
                                         " error" + (r.errors == 1 ? "" : "s"))
            << r.config;
        told.pop_back();
        std::vector<std::string> expected;
        for (const std::string& line : r.told)
            expected.push_back(file + line);
        EXPECT_EQ(told, expected) << r.config;
        EXPECT_EQ(read_file(process.dir / "stdout.txt"), "") << r.config;
        EXPECT_FALSE(fs::exists(process.dir / "websrv.log")) << r.config << ": nothing is logged";
    }
    for (auto [unreadable, why] :
         {std::pair{"fifo", "not a regular file"}, std::pair{"/dev/zero", "not a regular file"},
          std::pair{"big.cfg", "File too large"}}) {
        websrv_process process;
        mkfifo((process.dir / "fifo").c_str(), 0600);
        write_file(process.dir / "big.cfg", std::string((1 << 20) + 1, '/'));
        process.start("./websrv", {}, {"-t", "-c", unreadable});
        EXPECT_EQ(process.wait_for_exit(), 1) << unreadable << ": refused, never waited on";
        const std::vector<std::string> told = lines_of(read_file(process.dir / "stderr.txt"));
        ASSERT_FALSE(told.empty()) << unreadable;
        EXPECT_EQ(told.front(), std::string(unreadable) + ": error: can not read it: " + why);
    }
}

TEST(WebsrvStartup, TheLogCanBeNamedAndItIsLockedThere) {
    websrv_process first;
    const unsigned short port = free_port();
    fs::create_directories(first.dir / "logs");
    first.configure("ip=127.0.0.1\nport=" + std::to_string(port) + "\nlog=logs/site.log\n");
    first.start();
    ASSERT_TRUE(first.wait_for_log("server activated", 1, 5.0, "logs/site.log"));
    EXPECT_EQ(setting(first.log("logs/site.log"), "log"), "logs/site.log");
    EXPECT_FALSE(fs::exists(first.dir / "websrv.log"));

    // A copy elsewhere that names the same log is refused, and leaves it alone.
    const std::string log_before = first.log("logs/site.log");
    websrv_process second;
    second.configure("ip=127.0.0.1\nport=" + std::to_string(free_port()) +
                     "\nlog=" + (first.dir / "logs" / "site.log").string() + "\n");
    second.start();
    EXPECT_EQ(second.wait_for_exit(), 1);
    EXPECT_NE(read_file(second.dir / "stderr.txt").find("locked by another copy"),
              std::string::npos);
    EXPECT_EQ(first.log("logs/site.log"), log_before);
}

TEST(WebsrvStartup, AnAppendedLogKeepsEveryRun) {
    websrv_process process;
    process.configure("ip=127.0.0.1\nport=" + std::to_string(free_port()) + "\nlog_append=1\n");
    for (int run = 1; run <= 2; ++run) {
        process.start();
        ASSERT_TRUE(process.wait_for_log("server activated", run)) << process.log();
        process.stop();
    }
    EXPECT_EQ(websrv_process::count(process.log(), " logging started\n"), 2);
    EXPECT_EQ(setting(process.log(), "log_append"), "1");
}

// Fetches /a.txt on a connection of its own and waits until the log says it is closed.
void fetch_and_close(websrv_process& process, unsigned short port) {
    int client = connect_to(port);
    ASSERT_NE(client, -1);
    ASSERT_TRUE(send_all(client, "GET /a.txt HTTP/1.1\r\n" + basic_auth + "\r\n"));
    EXPECT_NE(receive_response(client).find("alpha"), std::string::npos);
    close(client);
    EXPECT_TRUE(process.wait_for_log(" disconnected\n")) << process.log();
}

TEST(WebsrvStartup, SigusrOneOpensTheLogAgainByName) {
    running_server server;
    ASSERT_TRUE(server.ready());
    websrv_process& process = server.process;
    write_file(process.dir / "root" / "a.txt", "alpha");
    fetch_and_close(process, server.port);
    fs::rename(process.dir / "websrv.log", process.dir / "websrv.log.1");
    kill(process.pid, SIGUSR1);
    for (int i = 0; i < 100 && !fs::exists(process.dir / "websrv.log"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    fetch_and_close(process, server.port);

    const std::string old_log = process.log("websrv.log.1");
    const std::string new_log = process.log();
    EXPECT_EQ(websrv_process::count(old_log, "header to send"), 1) << old_log;
    EXPECT_TRUE(old_log.ends_with(" disconnected\n"));
    EXPECT_EQ(websrv_process::count(new_log, "header to send"), 1) << new_log;
    EXPECT_TRUE(std::regex_search(new_log, std::regex("^" + stamp + " node \\(.*\\) connected\n")))
        << new_log;

    // The lock moved with the name: a second copy still leaves the log alone.
    std::string answer = run("env -C " + process.dir.string() + " ./websrv 2>&1; echo status $?");
    EXPECT_NE(answer.find("locked by another copy"), std::string::npos) << answer;
    kill(process.pid, SIGTERM);
    EXPECT_EQ(process.wait_for_exit(), 0);
    EXPECT_EQ(old_log + new_log, read_file(process.dir / "stdout.txt"))
        << "between them, the two files hold every line";
}

// Also when the log is written a poll round at a time (wake_on_io): every
// line of the rounds before the signal is in the file and on standard
// output, in the same order.
TEST(WebsrvStartup, SigtermAndSigintEndItWithEveryLineOnStandardOutput) {
    for (auto [number, config] :
         {std::pair{SIGTERM, ""}, std::pair{SIGINT, ""}, std::pair{SIGTERM, "wake_on_io=1\n"}}) {
        running_server server(config);
        ASSERT_TRUE(server.ready());
        websrv_process& process = server.process;
        write_file(process.dir / "root" / "a.txt", "alpha");
        int client = connect_to(server.port);
        ASSERT_NE(client, -1);
        std::string group;
        for (int i = 0; i < 20; ++i)
            group += "GET /a.txt HTTP/1.1\r\n" + basic_auth + "\r\n";
        ASSERT_TRUE(send_all(client, group));
        EXPECT_EQ(websrv_process::count(receive_answers(client, 20), "alpha"), 20);
        // The answers are sent, and the next receive waits: the log is still.
        ASSERT_TRUE(process.wait_for_log("job _recv activated", 2));
        const std::string log = process.log();

        EXPECT_EQ(websrv_process::count(log, "header to send"), 20) << config;

        // A signal ends the wait at once, however long the quiet wait is.
        kill(process.pid, number);
        EXPECT_EQ(process.wait_for_exit(0.5), 0) << number << config;
        EXPECT_EQ(process.log(), log) << number << config << ": no line is added on the way out";
        EXPECT_EQ(read_file(process.dir / "stdout.txt"), log) << number << config;
        close(client);
    }
}

TEST(WebsrvStartup, ARestartBindsOverConnectionsInTimeWait) {
    running_server first;
    ASSERT_TRUE(first.ready());
    // The server closes this connection first, so its side waits in TIME_WAIT.
    int client = connect_to(first.port);
    ASSERT_TRUE(send_all(client, "garbage\r\n\r\n"));
    EXPECT_TRUE(closed_by_peer(client));
    close(client);
    first.process.stop();

    websrv_process second;
    second.configure("ip=127.0.0.1\nport=" + std::to_string(first.port) + "\n");
    second.start();
    EXPECT_TRUE(second.wait_for_log("server activated")) << second.log();
}

TEST(WebsrvStartup, ASecondCopyLeavesTheLogOfTheFirstAlone) {
    running_server first;
    ASSERT_TRUE(first.ready());
    const std::string log_before = first.process.log();
    std::string answer =
        run("env -C " + first.process.dir.string() + " ./websrv 2>&1; echo status $?");
    EXPECT_NE(answer.find("locked by another copy"), std::string::npos) << answer;
    EXPECT_NE(answer.find("status 1\n"), std::string::npos) << answer;
    EXPECT_EQ(first.process.log(), log_before);
    EXPECT_TRUE(first.process.alive());
    int client = connect_to(first.port);
    EXPECT_NE(client, -1) << "the first copy still serves";
    close(client);
}

// The log holds the password and the credentials clients send.
TEST(WebsrvStartup, ANewLogIsPrivateAndAnExistingOneKeepsItsMode) {
    const mode_t usual_umask = umask(022);  // under which a log used to be readable by all
    websrv_process fresh, existing;
    write_file(existing.dir / "websrv.log", "old\n");
    fs::permissions(existing.dir / "websrv.log", fs::perms(0644));
    for (websrv_process* process : {&fresh, &existing}) {
        process->configure("ip=127.0.0.1\nport=" + std::to_string(free_port()) + "\n");
        process->start();
        EXPECT_TRUE(process->wait_for_log("logging started")) << process->log();
    }
    umask(usual_umask);
    EXPECT_EQ(fs::status(fresh.dir / "websrv.log").permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(existing.dir / "websrv.log").permissions(), fs::perms(0644));
}

// A full disk under the log: the log is a trace, not a gate. The log is the
// device that is always full (a link to it would not be followed).
TEST(WebsrvStartup, ALogThatCanNotBeWrittenIsToldOnStandardErrorAndServingGoesOn) {
    websrv_process process;
    if (mknod((process.dir / "websrv.log").c_str(), S_IFCHR | 0600, makedev(1, 7)) != 0) {
        GTEST_SKIP() << "no device can be made here: " << strerror(errno);
    }
    write_file(process.dir / "root" / "a.txt", "alpha");
    const unsigned short port = free_port();
    process.configure("ip=127.0.0.1\nport=" + std::to_string(port) + "\n");
    int screen[2];  // standard output as a socket, read here
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, screen), 0);
    process.start("./websrv", {}, {}, screen[1]);
    close(screen[1]);
    auto activated = [](const std::string& seen) {
        return seen.find("server activated") != std::string::npos;
    };
    ASSERT_TRUE(activated(receive_until(screen[0], activated, 10.0)))
        << read_file(process.dir / "stderr.txt");
    int client = connect_to(port);
    ASSERT_TRUE(send_all(client, "GET /a.txt HTTP/1.1\r\n" + basic_auth + "\r\n"));
    EXPECT_NE(receive_response(client).find("\r\n\r\nalpha"), std::string::npos);
    close(client);
    close(screen[0]);
    const std::string errors = read_file(process.dir / "stderr.txt");
    const std::string told =
        "log: can not write to ./websrv.log: " + std::string(strerror(ENOSPC)) +
        "; serving goes on\n";
    EXPECT_EQ(websrv_process::count(errors, told), 1) << errors;
}

TEST(WebsrvStartup, ArgumentsArePrintedAnswersNotAStart) {
    struct row {
        std::vector<std::string> args;
        int status;
        std::string screen;  // a pattern for standard output
        std::string error;   // a pattern for standard error
    };
    const std::vector<row> rows = {
        {{"--help"},
         0,
         R"(Usage: \./websrv [\s\S]*\./websrv\.cfg[\s\S]*\./websrv\.log[\s\S]*)",
         ""},
        {{"-h"}, 0, "Usage: [\\s\\S]*", ""},
        {{"--version"}, 0, R"(websrv \d+\.\d+\.\d+\n)", ""},
        {{"--port=80"}, 2, "", R"(\./websrv: unexpected argument '--port=80' \(see --help\)\n)"},
        {{"--version", "now"}, 2, "", R"(\./websrv: unexpected argument 'now' \(see --help\)\n)"},
        {{"-t", "-c"}, 2, "", R"(\./websrv: a file name must follow '-c' \(see --help\)\n)"},
        // The quick start refuses what it cannot serve, with one line.
        {{"missing"}, 2, "", R"(\./websrv: missing is not a readable directory\n)"},
        {{"--auth", "user:", "."}, 2, "", R"(\./websrv: --auth takes USER:PASSWORD.*\n)"},
        {{"-p", "0", "."}, 2, "", R"(\./websrv: the port 0 is not a number from 1 to 65535\n)"},
        {{"-u"}, 2, "", R"(\./websrv: no folder to share after the options.*\n)"},
        {{"-c", "x.cfg", "."}, 2, "", R"(\./websrv: a folder to share does not go with.*\n)"},
    };
    for (const row& r : rows) {
        websrv_process process;
        process.start("./websrv", {}, r.args);
        EXPECT_EQ(process.wait_for_exit(), r.status) << r.args[0];
        EXPECT_TRUE(std::regex_match(read_file(process.dir / "stdout.txt"), std::regex(r.screen)))
            << r.args[0] << ": " << read_file(process.dir / "stdout.txt");
        EXPECT_TRUE(std::regex_match(read_file(process.dir / "stderr.txt"), std::regex(r.error)))
            << r.args[0] << ": " << read_file(process.dir / "stderr.txt");
        EXPECT_FALSE(fs::exists(process.dir / "websrv.log")) << r.args[0];
    }
}

TEST(WebsrvStartup, AFolderIsSharedInOneCommand) {
    websrv_process process;
    write_file(process.dir / "share" / "a.txt", "alpha");
    const std::string port = std::to_string(free_port());
    process.start("./websrv", {}, {"-b", "127.0.0.1", "-p", port, "share"});
    const std::string banner = receive_until_file(process.dir / "stderr.txt", "password: ");
    const std::string password = banner.substr(banner.find("password: ") + 10, 19);
    EXPECT_NE(banner.find("  http://127.0.0.1:" + port + "/\n"), std::string::npos) << banner;
    EXPECT_NE(banner.find("mount it (WebDAV): dav://127.0.0.1:" + port + "/ in GNOME Files"),
              std::string::npos)
        << banner;
    EXPECT_TRUE(std::regex_match(password, std::regex(R"([2-9a-z]{4}(-[2-9a-z]{4}){3})")));
    const std::string url = " http://127.0.0.1:" + port + "/a.txt";
    EXPECT_EQ(curl("--user user:" + password + url), "alpha");
    EXPECT_EQ(curl("-o /dev/null -w '%{http_code}' --user user:wrong" + url), "401");
    // A project folder's secrets are not handed out: hidden is private.
    write_file(process.dir / "share" / ".env", "secret");
    const std::string hidden = " http://127.0.0.1:" + port + "/.env";
    EXPECT_EQ(curl("-o /dev/null -w '%{http_code}' --user user:" + password + hidden), "404");
    std::vector<std::string> beside;
    for (const auto& entry : fs::directory_iterator(process.dir))
        beside.push_back(entry.path().filename().string());
    std::sort(beside.begin(), beside.end());
    EXPECT_EQ(beside, (std::vector<std::string>{"share", "stderr.txt", "stdout.txt", "websrv"}))
        << "nothing is read or written beside the executable";

    websrv_process second;  // the port is taken
    write_file(second.dir / "share" / "a.txt", "beta");
    second.start("./websrv", {}, {"-b", "127.0.0.1", "-p", port, "--auth", "me:pw", "share"});
    EXPECT_EQ(second.wait_for_exit(2.0), 1);
    EXPECT_EQ(read_file(second.dir / "stderr.txt"),
              "./websrv: can not activate server on 127.0.0.1 port " + port +
                  ": Address already in use\n");
    process.stop();
    write_file(second.dir / "share" / ".env", "shown");
    second.start("./websrv", {},
                 {"-b", "127.0.0.1", "-p", port, "--auth", "me:pw", "--hidden", "-u", "--replace",
                  "--public", "--max-upload", "1000T", "share"});
    receive_until_file(second.dir / "stderr.txt", "password: ");
    EXPECT_EQ(curl("--user me:pw" + url), "beta");
    EXPECT_EQ(curl("--user me:pw" + hidden), "shown") << "--hidden serves and lists them";
    EXPECT_EQ(curl(url), "beta") << "--public: read without a login";
    const std::string status = " -o /dev/null -w '%{http_code}'";
    EXPECT_EQ(curl("-T /dev/null" + status + url), "401") << "writes still need a login";
    EXPECT_EQ(curl("--user me:pw --data-binary gamma -X PUT" + status + url), "201") << "--replace";
    EXPECT_EQ(curl("--user me:pw" + url), "gamma");
    // A body the disk could not hold is refused before a byte of it is read.
    EXPECT_EQ(curl("--user me:pw -X PUT -H 'Content-Length: 1000000000000000' -H 'Expect:'"
                   " --max-time 5" +
                   status + " http://127.0.0.1:" + port + "/huge.bin"),
              "507");
    EXPECT_FALSE(fs::exists(second.dir / "share" / "huge.bin"));
    const std::string arguments = read_file("/proc/" + std::to_string(second.pid) + "/cmdline");
    EXPECT_EQ(arguments.find("me:pw"), std::string::npos) << "ps shows the password";
    EXPECT_EQ(read_file(second.dir / "stdout.txt").find("me:pw"), std::string::npos);
}

// A process that holds a password cannot be read by a debugger or dumped to
// a core file by the user it runs as: the files of its /proc entry then
// belong to root.
TEST(WebsrvStartup, AProcessThatHoldsAPasswordIsNotDumpable) {
    if (geteuid() != 0) GTEST_SKIP() << "another user can only be taken by root";
    websrv_process process;
    process.run_as = 65534;
    write_file(process.dir / "share" / "a.txt", "alpha");
    fs::permissions(process.dir, fs::perms(0755));
    fs::permissions(process.dir / "share", fs::perms(0755));
    process.start("./websrv", {},
                  {"-b", "127.0.0.1", "-p", std::to_string(free_port()), "--auth", "u:p", "share"});
    receive_until_file(process.dir / "stderr.txt", "password: ");
    struct stat info {};
    ASSERT_EQ(stat(("/proc/" + std::to_string(process.pid) + "/environ").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u) << read_file(process.dir / "stderr.txt");
}

// Users with hashed passwords: a password file made and changed with
// --passwd, served with --auth-file; a user who is not in the file does not
// log in, and a changed password takes the place of the old one.
TEST(WebsrvStartup, SeveralUsersLogInWithTheirHashedPasswords) {
    websrv_process process;
    write_file(process.dir / "share" / "a.txt", "alpha");
    auto passwd = [&process](const std::string& user, const std::string& password) {
        return run("sh -c 'cd " + process.dir.string() + " && echo " + password +
                   " | ./websrv --passwd users " + user + " 2>&1; echo $?'");
    };
    EXPECT_EQ(passwd("ann", "old"), "websrv: added ann to users\n0\n");
    EXPECT_EQ(passwd("bob", "bob-pw"), "websrv: added bob to users\n0\n");
    EXPECT_EQ(passwd("ann", "ann-pw"), "websrv: replaced the password of ann in users\n0\n");
    const std::string port = std::to_string(free_port());
    process.start("./websrv", {}, {"-b", "127.0.0.1", "-p", port, "--auth-file", "users", "share"});
    receive_until_file(process.dir / "stderr.txt", "login: ");
    const std::string url = " http://127.0.0.1:" + port + "/a.txt";
    const std::string status = "-o /dev/null -w '%{http_code}' --user ";
    EXPECT_EQ(curl("--user ann:ann-pw" + url), "alpha");
    EXPECT_EQ(curl("--user bob:bob-pw" + url), "alpha");
    EXPECT_EQ(curl(status + "ann:old" + url), "401");
    EXPECT_EQ(curl(status + "ann:bob-pw" + url), "401");
    EXPECT_EQ(curl(status + "zed:bob-pw" + url), "401");
    process.stop();

    // One login and password, after a comment and a blank line.
    write_file(process.dir / "one", "# the login\n\nme:pw\n");
    process.start("./websrv", {}, {"-b", "127.0.0.1", "-p", port, "--auth-file", "one", "share"});
    const std::string banner = "login: me  password: pw";
    EXPECT_NE(receive_until_file(process.dir / "stderr.txt", banner).find(banner),
              std::string::npos);
    EXPECT_EQ(curl("--user me:pw" + url), "alpha");
}

// A password file with a line it does not take stops every start that reads
// it, with the line on standard error; --auth-file refuses a file that is
// neither a password file nor one line USER:PASSWORD.
TEST(WebsrvStartup, APasswordFileWithALineItDoesNotTakeStopsTheStart) {
    const std::string bad_line = "users:3: bob: a blank in or after the hash: bob cannot log in";
    struct row {
        std::vector<std::string> args;  // "./websrv.cfg" beside it without -c
        std::string users;
        int status;
        std::string told;  // a line of standard error
    };
    const std::string ann = "ann:$y$j9T$F5Jx5fExrKuPp53xLKQ..0$" + std::string(43, 'a') + "\n";
    const std::string bob_blank = "bob:$6$salt$" + std::string(86, 'b') + " \n";
    const std::vector<row> rows = {
        {{}, "# users\n" + ann + bob_blank, 1, "./websrv: " + bad_line},
        {{"-c", "site.cfg"}, "\n" + ann + bob_blank, 1, "./websrv: " + bad_line},
        {{"--auth-file", "users", "share"}, "\n" + ann + bob_blank, 1, "./websrv: " + bad_line},
        {{"--auth-file", "users", "share"},
         "\n" + ann + "bob:plain\n",
         2,
         "./websrv: users holds several lines USER:PASSWORD, or plain and hashed ones mixed: give "
         "one line USER:PASSWORD, or make a password file of several users with websrv --passwd "
         "users USER"},
    };
    for (const row& r : rows) {
        websrv_process process;
        const std::string config = "ip=127.0.0.1\nport=" + std::to_string(free_port()) +
                                   "\nhtpasswd=users\nexit_on_failure=0\n";
        process.configure(config);
        write_file(process.dir / "site.cfg", config);
        write_file(process.dir / "users", r.users);
        fs::create_directories(process.dir / "share");
        process.start("./websrv", {}, r.args);
        EXPECT_EQ(process.wait_for_exit(), r.status) << r.users;
        const std::vector<std::string> told = lines_of(read_file(process.dir / "stderr.txt"));
        EXPECT_NE(std::find(told.begin(), told.end(), r.told), told.end())
            << read_file(process.dir / "stderr.txt");
    }
}

// IPv6: a shared folder listens on IPv4 and IPv6 at once and names its
// IPv6 addresses in brackets; a file named with -c takes an IPv6 address or
// a name; the log shows each peer in its usual form.
TEST(WebsrvStartup, IPv6AndIPv4ClientsAreServed) {
    if (socket(AF_INET6, SOCK_STREAM, 0) == -1) GTEST_SKIP() << "no IPv6 here";
    websrv_process process;
    write_file(process.dir / "share" / "a.txt", "alpha");
    const std::string port = std::to_string(free_port());
    process.start("./websrv", {}, {"-p", port, "--auth", "u:p", "share"});
    const std::string banner = receive_until_file(process.dir / "stderr.txt", "login: ");
    EXPECT_NE(banner.find("  http://[::1]:" + port + "/\n"), std::string::npos) << banner;
    EXPECT_EQ(curl("-g --user u:p http://[::1]:" + port + "/a.txt"), "alpha");
    EXPECT_EQ(curl("--user u:p http://127.0.0.1:" + port + "/a.txt"), "alpha");
    kill(process.pid, SIGTERM);  // standard output, a file here, is flushed on the way out
    EXPECT_EQ(process.wait_for_exit(), 0);
    const std::string log = read_file(process.dir / "stdout.txt");
    EXPECT_NE(log.find("\n::1 - u ["), std::string::npos) << log;
    EXPECT_NE(log.find("\n127.0.0.1 - u ["), std::string::npos) << log;

    // A file named with -c listens on both families unless ip says otherwise.
    for (const std::string ip : {"::1", "localhost", ""}) {
        websrv_process named;
        fs::create_directories(named.dir / "root");
        write_file(named.dir / "root" / "a.txt", "beta");
        const std::string other = std::to_string(free_port());
        write_file(named.dir / "site.cfg", (ip.empty() ? "" : "ip=" + ip + "\n") + "port=" + other +
                                               "\npassword=p\nroot=root\n");
        named.start("./websrv", {}, {"-c", "site.cfg"});
        ASSERT_TRUE(named.wait_for_log("server activated")) << ip << named.log();
        for (const std::string host : {"[::1]", "localhost", "127.0.0.1"}) {
            if ((ip == "::1" && host != "[::1]") || (ip == "localhost" && host != "localhost")) {
                continue;
            }
            EXPECT_EQ(curl("-g --user user:p http://" + host + ":" + other + "/a.txt"), "beta")
                << ip << " " << host;
        }
    }
}

// The certificate --tls makes is kept in the user's state folder and used
// again at the next start, so the fingerprint people were told holds;
// --new-cert makes another. It names the machine's host name.
TEST(WebsrvStartup, TheCertificateOfTlsIsKeptForTheNextStart) {
    websrv_process process;
    write_file(process.dir / "share" / "a.txt", "alpha");
    const fs::path state = process.dir / "state";
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    auto fingerprint = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = {"-b",     "127.0.0.1", "-p",   std::to_string(free_port()),
                                         "--auth", "u:p",       "--tls"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("share");
        fs::remove(process.dir / "stderr.txt");  // not to read the last start's banner
        process.start("./websrv", {}, args);
        const std::string banner = receive_until_file(process.dir / "stderr.txt", "certificate: ");
        process.stop();
        const size_t at = banner.find("certificate (SHA-256): ");
        return at == std::string::npos ? banner : banner.substr(at + 23, 95);
    };
    const std::string first = fingerprint({});
    EXPECT_EQ(fingerprint({}), first) << "the kept one is used again";
    EXPECT_NE(fingerprint({"--new-cert"}), first);
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(fs::status(state / "websrv" / "key.pem").permissions(), fs::perms(0600));
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const std::string names = run("openssl x509 -noout -ext subjectAltName -in " +
                                  (state / "websrv" / "cert.pem").string());
    EXPECT_NE(names.find(std::string("DNS:") + host), std::string::npos) << names;
}

// A certificate and its key are checked by -t and at the start: a key that
// is not the certificate's is refused with one line, a certificate that
// expires soon is a warning.
TEST(WebsrvStartup, TlsPairsAreCheckedAndAWrongKeyRefused) {
    websrv_process process;
    fs::create_directories(process.dir / "root");
    const std::string dir = process.dir.string();
    for (const char* name : {"a", "b"}) {
        run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 5 "
            "-subj /CN=x -keyout " +
            dir + "/" + name + ".key -out " + dir + "/" + name + ".pem 2>/dev/null");
    }
    ASSERT_TRUE(fs::exists(process.dir / "b.key"));
    const std::string port = std::to_string(free_port());
    auto configure = [&](const char* key) {
        write_file(process.dir / "site.cfg", "ip=127.0.0.1\nport=" + port +
                                                 "\npassword=x\nroot=root\ntls_cert=a.pem\n"
                                                 "tls_key=" +
                                                 key + "\n");
    };
    configure("a.key");
    process.start("./websrv", {}, {"-t", "-c", "site.cfg"});
    EXPECT_EQ(process.wait_for_exit(), 0);
    EXPECT_NE(
        read_file(process.dir / "stderr.txt").find("warning: tls: the certificate expires on"),
        std::string::npos)
        << read_file(process.dir / "stderr.txt");
    configure("b.key");
    process.start("./websrv", {}, {"-t", "-c", "site.cfg"});
    EXPECT_EQ(process.wait_for_exit(), 1);
    EXPECT_NE(
        read_file(process.dir / "stderr.txt").find("error: tls: the key is not the certificate's"),
        std::string::npos);
    process.start("./websrv", {}, {"-c", "site.cfg"});
    EXPECT_EQ(process.wait_for_exit(), 1) << "it does not serve in clear instead";
    EXPECT_EQ(lines_of(read_file(process.dir / "stderr.txt")).size(), 1u)
        << read_file(process.dir / "stderr.txt");
}

// The node lines of one connection, without their stamps and addresses.
std::vector<std::string> node_events(const std::string& log) {
    std::vector<std::string> events;
    std::regex node_line(stamp + R"( node \(ip = 127\.0\.0\.1, port = \d+\) (.*))");
    for (const std::string& line : lines_of(log)) {
        std::smatch match;
        if (std::regex_match(line, match, node_line)) events.push_back(match[1]);
    }
    return events;
}

TEST(WebsrvStartup, ConnectionLinesForAClientThatConnectsAndCloses) {
    running_server server;
    ASSERT_TRUE(server.ready());
    int client = connect_to(server.port);
    ASSERT_NE(client, -1);
    ASSERT_TRUE(server.process.wait_for_log(" connected\n"));
    close(client);
    ASSERT_TRUE(server.process.wait_for_log(" disconnected\n")) << server.process.log();
    EXPECT_EQ(node_events(server.process.log()),
              (std::vector<std::string>{"connected", "job _recv activated",
                                        "job _recv finished with result connection_closed",
                                        "disconnected"}));
}

TEST(WebsrvStartup, AnHttp10AnswerIsSentThenTheConnectionClosed) {
    running_server server("http10=1\n");
    ASSERT_TRUE(server.ready());
    write_file(server.process.dir / "root" / "a.txt", "alpha");
    int client = connect_to(server.port);
    ASSERT_NE(client, -1);
    ASSERT_TRUE(send_all(client, "GET /a.txt HTTP/1.0\r\n" + basic_auth + "\r\n"));
    const std::string answer = receive_until(
        client, [](const std::string&) { return false; }, 5);
    EXPECT_TRUE(answer.ends_with("\r\n\r\nalpha")) << answer;
    close(client);
    ASSERT_TRUE(server.process.wait_for_log(" disconnected\n")) << server.process.log();
    EXPECT_EQ(
        node_events(server.process.log()),
        (std::vector<std::string>{"connected", "job _recv activated", "etx detected",
                                  "job _recv finished with result aborted",
                                  "authorization detected", "header to send", "job _send activated",
                                  "job _send finished with result success", "disconnected"}));
}

TEST(WebsrvStartup, AClientThatOverfillsTheReceiveBufferIsDisconnected) {
    running_server server("sizeof_in=64\n");
    ASSERT_TRUE(server.ready());
    int client = connect_to(server.port);
    ASSERT_NE(client, -1);
    ASSERT_TRUE(send_all(client, "GET / HTTP/1.1\r\nX-Filler: " + std::string(100, 'x')));
    EXPECT_TRUE(closed_by_peer(client));
    close(client);
    ASSERT_TRUE(server.process.wait_for_log(" disconnected\n")) << server.process.log();
    EXPECT_EQ(node_events(server.process.log()),
              (std::vector<std::string>{"connected", "job _recv activated",
                                        "job _recv finished with result success", "disconnected"}));
}

// Everything that can be read from `fd` now.
std::string drain(int fd) {
    std::string data;
    char chunk[65536];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
        data.append(chunk, static_cast<size_t>(n));
    return data;
}

TEST(WebsrvStartup, StandardOutputNeverHoldsUpServing) {
    int screen[2];
    ASSERT_EQ(pipe2(screen, O_CLOEXEC), 0);
    fcntl(screen[1], F_SETPIPE_SZ, 4096);
    fcntl(screen[0], F_SETFL, O_NONBLOCK);
    websrv_process process;
    write_file(process.dir / "root" / "a.txt", "alpha");
    unsigned short port = free_port();
    process.configure("ip=127.0.0.1\nport=" + std::to_string(port) + "\n");
    process.start("./websrv", {}, {}, screen[1]);
    close(screen[1]);
    ASSERT_TRUE(process.wait_for_log("server activated")) << process.log();
    int client = connect_to(port);
    ASSERT_NE(client, -1);
    std::string group;
    for (int i = 0; i < 20; ++i)
        group += "GET /a.txt HTTP/1.1\r\n" + basic_auth + "\r\n";

    // Nobody reads standard output: it fills up, and serving goes on.
    for (int round = 0; round < 5; ++round) {
        ASSERT_TRUE(send_all(client, group));
        EXPECT_EQ(websrv_process::count(receive_answers(client, 20), "alpha"), 20) << round;
    }
    EXPECT_EQ(websrv_process::count(process.log(), "header to send"), 100)
        << "the log file has every line";

    // Read again, standard output says what it missed.
    std::string seen = drain(screen[0]);
    ASSERT_TRUE(send_all(client, group));
    receive_answers(client, 20);
    ASSERT_TRUE(process.wait_for_log("header to send", 120));
    seen += drain(screen[0]);
    EXPECT_TRUE(std::regex_search(seen, std::regex(stamp + " standard output missed \\d+ lines; "
                                                           "the log file has them\n")))
        << seen.substr(seen.size() > 2000 ? seen.size() - 2000 : 0);

    // Its reader goes away, as `websrv | head` does: no broken-pipe signal ends the process.
    close(screen[0]);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(send_all(client, group));
        EXPECT_EQ(websrv_process::count(receive_answers(client, 20), "alpha"), 20);
    }
    EXPECT_TRUE(process.alive());
    close(client);
}

}  // namespace
