#include "app/config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/file_text.h"
#include "app/login_limit.h"
#include "http/proxy_utils.h"

namespace {

// How a key's value is checked.
enum class value_kind {
    text,           // as written
    address,        // a dotted IPv4 address, or 0
    port,           // 1 to 65535
    size,           // a positive number
    count,          // 0 or a positive number
    on_off,         // a number: 0 is off, any other on
    directory,      // a directory that exists
    content_types,  // a table that read_content_types takes
    index_name,     // a plain file name
    log_file,       // a file that can be created or written
    login_limit,    // 0 to the limiter's largest limit
    listing_mode,   // a number (0 is off) or "all"
    upload_mode,    // a number (0 is off) or "replace"
    bytes,          // a positive number of bytes
    log_form,       // spec or combined
    rights,         // user:level pairs, by ","
    password_file,  // an htpasswd file whose every entry is taken
    address_list,   // addresses and CIDR prefixes, by ","; empty: none
    workers,        // 1 to max_workers, or "auto"
};

struct key_row {
    const char* name;
    value_kind kind;
    bool always_dumped;  // one of the seven keys the start-up lines always show
    const char* modern;  // the value of the modern form when not set; null: none
    void (*read)(const std::string& value, configuration* config);
    std::string (*dump)(const configuration& config);
};

bool is_on(const std::string& value) {
    return atoi(value.c_str()) != 0;
}

std::string on_off(bool value) {
    return value ? "1" : "0";
}

void set_if_positive(const std::string& text, int* setting) {
    const int value = atoi(text.c_str());
    if (value > 0) *setting = value;
}

// The processes that serve: one per core that this process may run on for
// "auto"; a number is kept within 1 and max_workers.
unsigned int worker_count(const std::string& text) {
    if (text == "auto") {
        cpu_set_t cores;
        CPU_ZERO(&cores);
        long count = sched_getaffinity(0, sizeof cores, &cores) == 0
                         ? CPU_COUNT(&cores)
                         : sysconf(_SC_NPROCESSORS_ONLN);
        return static_cast<unsigned int>(std::clamp(count, 1L, long{max_workers}));
    }
    return static_cast<unsigned int>(std::clamp(atol(text.c_str()), 1L, long{max_workers}));
}

unsigned int not_negative(const std::string& text) {
    return static_cast<unsigned int>(std::max(atoi(text.c_str()), 0));
}

// The largest media-type table taken: the system's own is about 60 KiB, and
// a table is held in memory whole while it is read.
const off_t max_content_types_bytes = 1 << 20;

void load_content_types(const std::string& file_name, configuration* config) {
    config->content_types = file_name;
    param_map& table = config->site.content_types;
    config->content_types_unread = !file_name.empty() && !read_content_types(file_name, &table);
}

// Every user of the file may log in; a line that is not taken is told at
// start-up and stops it, and a file that cannot be read lets nobody in.
void load_password_file(const std::string& file_name, configuration* config) {
    config->htpasswd = file_name;
    config->htpasswd_problems.clear();
    config->users = std::make_shared<password_file>();
    config->htpasswd_unread = !config->users->load(file_name, &config->htpasswd_problems);
    if (config->htpasswd_unread) {
        config->htpasswd_problems.push_back(file_name + ": can not be read: nobody can log in");
    }
}

// The system's table when it can be read; the common web types otherwise.
const char* const system_content_types = "/etc/mime.types";

// Password checks that may wait for the hashing thread; beyond them a login
// is answered 503 with Retry-After.
const size_t hash_queue_max = 16;

// Listing pages that may wait for the building thread; beyond them a
// listing is answered 503 with Retry-After.
const size_t page_queue_max = 16;

// The modern forms listen on every address, IPv4 and IPv6, where the
// machine has IPv6.
const char* const every_address = "::";

// Every key that start-up reads, in the order the start-up lines show them.
const key_row key_rows[] = {
    {"ip", value_kind::address, true, every_address,
     [](const std::string& v, configuration* c) { c->ip = v; },
     [](const configuration& c) { return c.ip; }},
    {"port", value_kind::port, true, nullptr,
     [](const std::string& v, configuration* c) {
         c->port = static_cast<unsigned short>(atoi(v.c_str()) & 0xFFFF);
     },
     [](const configuration& c) { return std::to_string(c.port); }},
    {"login", value_kind::text, true, nullptr,
     [](const std::string& v, configuration* c) { c->site.login = v; },
     [](const configuration& c) { return c.site.login; }},
    {"password", value_kind::text, true, nullptr,
     [](const std::string& v, configuration* c) { c->site.password = v; },
     [](const configuration& c) {
         // The modern forms keep the password out of the log and standard output.
         return c.form == config_form::modern ? std::string("(not shown)") : c.site.password;
     }},
    {"root", value_kind::directory, true, nullptr,
     [](const std::string& v, configuration* c) {
         // The root is joined to request paths as text: without its "/",
         // root=/srv/site would serve /srv/site-private/ for /-private/.
         c->site.root = v;
         if (!v.empty() && v.back() != '/') c->site.root += '/';
     },
     [](const configuration& c) { return c.site.root; }},
    {"sizeof_in", value_kind::size, true, nullptr,
     [](const std::string& v, configuration* c) { set_if_positive(v, &c->site.sizeof_in); },
     [](const configuration& c) { return std::to_string(c.site.sizeof_in); }},
    {"sizeof_out", value_kind::size, true, nullptr,
     [](const std::string& v, configuration* c) { set_if_positive(v, &c->site.sizeof_out); },
     [](const configuration& c) { return std::to_string(c.site.sizeof_out); }},
    {"content_types", value_kind::content_types, false, system_content_types,
     [](const std::string& v, configuration* c) { load_content_types(v, c); },
     [](const configuration& c) { return c.content_types; }},
    {"decode_path", value_kind::on_off, false, "1",
     [](const std::string& v, configuration* c) { c->site.decode_path = is_on(v); },
     [](const configuration& c) { return on_off(c.site.decode_path); }},
    {"index", value_kind::index_name, false, "index.html",
     [](const std::string& v, configuration* c) {
         if (is_plain_name(v)) c->site.index_name = v;
     },
     [](const configuration& c) { return c.site.index_name; }},
    {"http10", value_kind::on_off, false, "1",
     [](const std::string& v, configuration* c) { c->site.http10 = is_on(v); },
     [](const configuration& c) { return on_off(c.site.http10); }},
    {"head", value_kind::on_off, false, "1",
     [](const std::string& v, configuration* c) { c->site.head = is_on(v); },
     [](const configuration& c) { return on_off(c.site.head); }},
    {"large_files", value_kind::on_off, false, "1",
     [](const std::string& v, configuration* c) { c->site.large_files = is_on(v); },
     [](const configuration& c) { return on_off(c.site.large_files); }},
    {"ranges", value_kind::on_off, false, "1",
     [](const std::string& v, configuration* c) { c->site.ranges = is_on(v); },
     [](const configuration& c) { return on_off(c.site.ranges); }},
    {"conditional", value_kind::on_off, false, "1",
     [](const std::string& v, configuration* c) { c->site.conditional = is_on(v); },
     [](const configuration& c) { return on_off(c.site.conditional); }},
    {"listing", value_kind::listing_mode, false, nullptr,
     [](const std::string& v, configuration* c) {
         c->listing = v;
         c->site.listing_hidden = v == "all";
         c->site.listing = c->site.listing_hidden || is_on(v);
     },
     [](const configuration& c) { return c.listing; }},
    {"upload", value_kind::upload_mode, false, nullptr,
     [](const std::string& v, configuration* c) {
         c->upload = v;
         c->site.upload_replace = v == "replace";
         c->site.upload = c->site.upload_replace || is_on(v);
     },
     [](const configuration& c) { return c.upload; }},
    {"upload_max", value_kind::bytes, false, nullptr,
     [](const std::string& v, configuration* c) {
         if (atoll(v.c_str()) > 0) c->site.upload_max = static_cast<off_t>(atoll(v.c_str()));
     },
     [](const configuration& c) { return std::to_string(c.site.upload_max); }},
    {"wake_on_io", value_kind::on_off, false, "1",
     [](const std::string& v, configuration* c) { c->wake_on_io = is_on(v); },
     [](const configuration& c) { return on_off(c.wake_on_io); }},
    {"job_timeout", value_kind::count, false, "60000",
     [](const std::string& v, configuration* c) { c->site.job_timeout = not_negative(v); },
     [](const configuration& c) { return std::to_string(c.site.job_timeout); }},
    {"login_limit", value_kind::login_limit, false, "10",
     [](const std::string& v, configuration* c) {
         c->login_limit = std::min(not_negative(v), login_limiter::max_limit);
     },
     [](const configuration& c) { return std::to_string(c.login_limit); }},
    {"log", value_kind::log_file, false, nullptr,
     [](const std::string& v, configuration* c) {
         if (!v.empty()) c->log_file = v;
     },
     [](const configuration& c) { return c.log_file; }},
    {"log_append", value_kind::on_off, false, "1",
     [](const std::string& v, configuration* c) { c->log_append = is_on(v); },
     [](const configuration& c) { return on_off(c.log_append); }},
    {"exit_on_failure", value_kind::on_off, false, "1",
     [](const std::string& v, configuration* c) { c->exit_on_failure = is_on(v); },
     [](const configuration& c) { return on_off(c.exit_on_failure); }},
    {"log_format", value_kind::log_form, false, "combined",
     [](const std::string& v, configuration* c) {
         c->site.log_form = v == "combined" ? log_format::combined : log_format::spec;
     },
     [](const configuration& c) {
         return std::string(c.site.log_form == log_format::combined ? "combined" : "spec");
     }},
    {"date_field", value_kind::on_off, false, "1",
     [](const std::string& v, configuration* c) { c->site.date_field = is_on(v); },
     [](const configuration& c) { return on_off(c.site.date_field); }},
    {"charset", value_kind::text, false, "utf-8",
     [](const std::string& v, configuration* c) { c->site.charset = v; },
     [](const configuration& c) { return c.site.charset; }},
    {"htpasswd", value_kind::password_file, false, nullptr,
     [](const std::string& v, configuration* c) { load_password_file(v, c); },
     [](const configuration& c) { return c.htpasswd; }},
    {"tls_cert", value_kind::text, false, nullptr,
     [](const std::string& v, configuration* c) {
         c->tls_cert = v;
         c->site.tls = !c->tls_cert.empty();
     },
     [](const configuration& c) { return c.tls_cert; }},
    {"tls_key", value_kind::text, false, nullptr,
     [](const std::string& v, configuration* c) { c->tls_key = v; },
     [](const configuration& c) { return c.tls_key; }},
    {"webdav", value_kind::on_off, false, nullptr,
     [](const std::string& v, configuration* c) { c->site.webdav = is_on(v); },
     [](const configuration& c) { return on_off(c.site.webdav); }},
    {"public", value_kind::on_off, false, nullptr,
     [](const std::string& v, configuration* c) { c->site.public_read = is_on(v); },
     [](const configuration& c) { return on_off(c.site.public_read); }},
    {"rights", value_kind::rights, false, nullptr,
     [](const std::string& v, configuration* c) {
         c->rights = v;
         std::string ignored;
         parse_rights(v, &c->site.rights, &ignored);
     },
     [](const configuration& c) { return c.rights; }},
    {"server_names", value_kind::text, false, nullptr,
     [](const std::string& v, configuration* c) { c->server_names = v; },
     [](const configuration& c) { return c.server_names; }},
    {"retry_after", value_kind::on_off, false, "1",
     [](const std::string& v, configuration* c) { c->site.retry_after = is_on(v); },
     [](const configuration& c) { return on_off(c.site.retry_after); }},
    {"trusted_proxies", value_kind::address_list, false, nullptr,
     [](const std::string& v, configuration* c) {
         c->trusted_proxies = v;
         std::string ignored;
         if (!trim_blanks(v).empty()) parse_address_list(v, &c->site.trusted_proxies, &ignored);
     },
     [](const configuration& c) { return c.trusted_proxies; }},
    {"proxy_protocol", value_kind::on_off, false, nullptr,
     [](const std::string& v, configuration* c) { c->site.proxy_protocol = is_on(v); },
     [](const configuration& c) { return on_off(c.site.proxy_protocol); }},
    {"workers", value_kind::workers, false, nullptr,
     [](const std::string& v, configuration* c) { c->workers = worker_count(v); },
     [](const configuration& c) { return std::to_string(c.workers); }},
    {"open_files", value_kind::count, false, "64",
     [](const std::string& v, configuration* c) {
         c->open_files = std::min(not_negative(v), max_open_files);
     },
     [](const configuration& c) { return std::to_string(c.open_files); }},
};

const key_row* find_row(const std::string& name) {
    for (const key_row& row : key_rows) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// Why `text` is not a whole decimal number from `low` to `high`; empty when it is.
std::string number_problem(const std::string& text, long long low, long long high) {
    const size_t digits_from = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == digits_from ||
        text.find_first_not_of("0123456789", digits_from) != std::string::npos) {
        return quoted(text) + " is not a number";
    }
    long long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc() && value >= low && value <= high) return "";
    return text + " is out of range (" + std::to_string(low) + " to " + std::to_string(high) + ")";
}

std::string directory_problem(const std::string& name) {
    struct stat info {};
    if (stat(name.empty() ? "." : name.c_str(), &info) != 0) return strerror(errno);
    return S_ISDIR(info.st_mode) ? "" : "not a directory";
}

std::string value_problem(value_kind kind, const std::string& value, config_form form) {
    switch (kind) {
        case value_kind::text:
            return "";
        case value_kind::address:
            if (!listen_address(value, form).empty()) return "";
            return quoted(value) + (form == config_form::modern
                                        ? " is no address, and no name of one"
                                        : " is neither a dotted IPv4 address nor an IPv6 one "
                                          "(0: every interface; names are not looked up)");
        case value_kind::port:
            return number_problem(value, 1, 65535);
        case value_kind::size:
            return number_problem(value, 1, INT_MAX);
        case value_kind::count:
        case value_kind::on_off:
            return number_problem(value, 0, INT_MAX);
        case value_kind::directory: {
            const std::string problem = directory_problem(value);
            return problem.empty() ? "" : value + ": " + problem;
        }
        case value_kind::content_types: {
            param_map types;
            if (value.empty() || read_content_types(value, &types)) return "";
            return value +
                   " is not a readable table of content types (the built-in types "
                   "would be used)";
        }
        case value_kind::index_name:
            return is_plain_name(value)
                       ? ""
                       : quoted(value) + " is not a plain file name (index.htm would be used)";
        case value_kind::log_file:
            return value.empty() ? "" : log_file_problem(value);
        case value_kind::login_limit:
            return number_problem(value, 0, login_limiter::max_limit);
        case value_kind::workers:
            return value == "auto" ? "" : number_problem(value, 1, max_workers);
        case value_kind::listing_mode:
            return value == "all" ? "" : number_problem(value, 0, INT_MAX);
        case value_kind::upload_mode:
            return value == "replace" ? "" : number_problem(value, 0, INT_MAX);
        case value_kind::bytes:
            return number_problem(value, 1, LLONG_MAX);
        case value_kind::password_file:
            return "";  // told line by line: password_file_problems
        case value_kind::address_list: {
            address_list list;
            std::string why;
            return trim_blanks(value).empty() || parse_address_list(value, &list, &why) ? "" : why;
        }
        case value_kind::log_form:
            return value == "spec" || value == "combined"
                       ? ""
                       : quoted(value) + " is neither spec nor combined";
        case value_kind::rights: {
            std::map<std::string, share_access> rights;
            std::string problem;
            parse_rights(value, &rights, &problem);
            return problem;
        }
    }
    return "";
}

// Each line of the password file that is not taken, or why it cannot be read.
std::vector<std::string> password_file_problems(const std::string& file_name) {
    password_file users;
    std::vector<std::string> problems;
    if (!users.load(file_name, &problems))
        return {file_name + " can not be read as a password file"};
    return problems;
}

// A modern default that depends on the machine: the system's type table only
// where it can be read, the common web types built in otherwise.
const char* modern_value(const key_row& row, configuration* config) {
    if (row.modern == every_address && !has_ipv6()) return "0";
    if (row.modern == system_content_types && access(system_content_types, R_OK) != 0) {
        config->content_types = "(the built-in web types)";
        std::string table = web_content_types;
        parse_content_types(table.data(), table.data() + table.size(), &config->site.content_types);
        return nullptr;
    }
    return row.modern;
}

// The addresses of this machine's interfaces, IPv4 ones when `with_v6` is
// false; loopback last. IPv6 link-local addresses (which need the name of
// their interface) are left out.
std::vector<std::string> local_addresses(bool with_v6) {
    std::vector<std::string> found;
    std::vector<std::string> loopback;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return {"127.0.0.1"};
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) continue;
        char text[INET6_ADDRSTRLEN] = {};
        if (entry->ifa_addr->sa_family == AF_INET) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
            (ntohl(address->sin_addr.s_addr) >> 24 == 127 ? loopback : found).push_back(text);
        } else if (with_v6 && entry->ifa_addr->sa_family == AF_INET6) {
            const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
            if (IN6_IS_ADDR_LINKLOCAL(&address->sin6_addr)) continue;
            inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof text);
            (IN6_IS_ADDR_LOOPBACK(&address->sin6_addr) ? loopback : found).push_back(text);
        }
    }
    freeifaddrs(list);
    found.insert(found.end(), loopback.begin(), loopback.end());
    return found;
}

}  // namespace

configuration default_configuration(const std::string& exe_name) {
    configuration config;
    config.exe_name = exe_name;
    config.site.login = "user";
    config.site.password = "5712";
    config.site.root = get_path(exe_name) + "root/";
    config.log_file = change_ext(exe_name, ".log");
    return config;
}

void apply_config(const param_map& params, config_form form, configuration* config) {
    config->form = form;
    for (const key_row& row : key_rows) {
        auto it = params.find(row.name);
        if (it != params.end()) {
            row.read(it->second, config);
        } else if (form == config_form::modern && row.modern != nullptr) {
            if (const char* value = modern_value(row, config)) row.read(value, config);
            config->from_defaults.push_back(row.name);
        }
    }
}

std::vector<std::string> settings_lines(const configuration& config, const param_map& params) {
    std::vector<std::string> lines;
    auto from_default = [&config](const char* name) {
        return std::find(config.from_defaults.begin(), config.from_defaults.end(), name) !=
               config.from_defaults.end();
    };
    for (const key_row& row : key_rows) {
        const bool modern = from_default(row.name);
        if (!row.always_dumped && params.count(row.name) == 0 && !modern) continue;
        lines.push_back("////" + std::string(row.name) + "=" + row.dump(config) +
                        (modern ? " (default)" : "") + "\n");
    }
    return lines;
}

const char* const web_content_types =
    "text/html;charset=utf-8 html htm\n"
    "text/css;charset=utf-8 css\n"
    "text/javascript;charset=utf-8 js mjs\n"
    "application/json json\n"
    "image/svg+xml svg\n"
    "image/png png\n"
    "image/jpeg jpg jpeg\n"
    "image/gif gif\n"
    "image/webp webp\n"
    "image/avif avif\n"
    "image/vnd.microsoft.icon ico\n"
    "font/woff woff\n"
    "font/woff2 woff2\n"
    "font/ttf ttf\n"
    "text/plain;charset=utf-8 txt\n"
    "text/markdown;charset=utf-8 md\n"
    "text/csv;charset=utf-8 csv\n"
    "application/pdf pdf\n"
    "video/mp4 mp4\n"
    "video/webm webm\n"
    "audio/mpeg mp3\n"
    "audio/ogg ogg\n"
    "audio/wav wav\n"
    "application/zip zip\n"
    "application/gzip gz\n"
    "application/x-tar tar\n"
    "application/x-xz xz\n"
    "application/x-7z-compressed 7z\n"
    "application/x-iso9660-image iso\n"
    "application/xml xml\n"
    "application/wasm wasm\n";

namespace {

std::string lower_case(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return lower;
}

}  // namespace

// The host name as the kernel knows it, and the name that multicast DNS
// gives it on a local network. No resolver is asked: a start without a
// network would wait on it, and a service may be refused local sockets.
std::vector<std::string> machine_names() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return {};
    std::vector<std::string> names = {name};
    if (names[0].find('.') == std::string::npos) names.push_back(names[0] + ".local");
    return names;
}

namespace {

// Looked up once, at start-up: addresses that come and go later are not
// followed.
std::vector<std::string> own_host_names(const configuration& config) {
    std::vector<std::string> names = listening_addresses(config.ip, config.form);
    names.push_back("localhost");
    for (const std::string& name : machine_names())
        names.push_back(name);
    for (size_t begin = 0; begin <= config.server_names.size();) {
        const size_t end =
            std::min(config.server_names.find(',', begin), config.server_names.size());
        const std::string_view name =
            trim_blanks(std::string_view(config.server_names).substr(begin, end - begin));
        if (!name.empty()) names.emplace_back(name);
        begin = end + 1;
    }
    for (std::string& name : names)
        name = lower_case(name);
    return names;
}

}  // namespace

site_policy policy_of(const configuration& config) {
    site_policy site = config.site;
    site.hide_dot_names = site.listing && !site.listing_hidden;
    // The file beside the executable takes every Host, as it always did,
    // unless the key names the server's names.
    if (config.form == config_form::modern || !config.server_names.empty()) {
        site.server_names = own_host_names(config);
    }
    site.realm = change_ext(get_name(config.exe_name), "");
    const std::string credentials = site.login + ":" + site.password;
    site.expected_credentials =
        base64_encode(reinterpret_cast<const unsigned char*>(credentials.data()),
                      static_cast<unsigned int>(credentials.size()));
    // The modes of sites with listings, uploads or decoded paths, which link
    // and store names such as "v1..2.txt".
    site.whole_dot_steps = site.listing || site.upload || site.decode_path;
    return site;
}

void assemble_site(const configuration& config, site_policy* site, site_services* services) {
    *site = policy_of(config);
    services->logins = login_limiter(config.login_limit);
    services->users = config.users;
    services->open_files = open_file_cache(config.open_files);
    // One thread hashes passwords, so that wrong passwords from any number of
    // addresses cost at most one core, and the thread that polls none; a
    // short queue keeps a client's wait for its check to about a second.
    // Several workers take turns at hashing: their queues share the bound.
    if (config.users) {
        const size_t queue = std::max<size_t>(1, hash_queue_max / config.workers);
        services->hash_checks = std::make_unique<work_pool>(1, queue);
    }
    // A page of a large folder takes seconds to build: one thread builds,
    // and readers of the same page wait for the same build.
    if (site->listing) services->page_builds = std::make_unique<work_pool>(1, page_queue_max);
}

std::string listen_address(const std::string& ip, config_form form) {
    in6_addr v6{};
    if (ip.find(':') != std::string::npos)
        return inet_pton(AF_INET6, ip.c_str(), &v6) == 1 ? ip : "";
    if (inet_addr(ip.c_str()) != INADDR_NONE || form == config_form::bare) {
        return inet_addr(ip.c_str()) != INADDR_NONE ? ip : "";
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    if (getaddrinfo(ip.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return "";
    char text[INET6_ADDRSTRLEN] = {};
    const sockaddr* address = found->ai_addr;
    if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                  sizeof text);
    } else {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                  sizeof text);
    }
    freeaddrinfo(found);
    return text;
}

std::vector<std::string> listening_addresses(const std::string& ip, config_form form) {
    if (ip == "0" || ip == "::") return local_addresses(ip == "::");
    return {listen_address(ip, form)};
}

bool has_ipv6() {
    const int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe == -1) return false;
    close(probe);
    return true;
}

std::string default_ip(config_form form) {
    if (form == config_form::bare) return "0";
    return has_ipv6() ? every_address : "0";
}

exposure listen_exposure(const std::string& ip, config_form form) {
    const std::string address = listen_address(ip, form);
    in_addr v4{};
    in6_addr v6{};
    if (address == "0" || address == "::") return exposure::every_interface;
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        if (v4.s_addr == INADDR_ANY) return exposure::every_interface;
        return ntohl(v4.s_addr) >> 24 == 127 ? exposure::loopback : exposure::others;
    }
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_UNSPECIFIED(&v6)) return exposure::every_interface;
        const bool mapped_loopback = IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
        return IN6_IS_ADDR_LOOPBACK(&v6) || mapped_loopback ? exposure::loopback : exposure::others;
    }
    return exposure::others;  // no address: nothing listens, but judge it as exposed
}

bool parse_rights(std::string_view text, std::map<std::string, share_access>* rights,
                  std::string* problem) {
    static const std::pair<const char*, share_access> levels[] = {
        {"read", share_access::read},
        {"create", share_access::create},
        {"replace", share_access::replace},
        {"change", share_access::change}};
    rights->clear();
    for (size_t begin = 0; begin < text.size();) {
        const size_t end = std::min(text.find(',', begin), text.size());
        const std::string_view pair = trim_blanks(text.substr(begin, end - begin));
        begin = end + 1;
        const size_t colon = pair.rfind(':');
        const std::string_view user = colon == std::string_view::npos ? "" : pair.substr(0, colon);
        const std::string_view level =
            colon == std::string_view::npos ? "" : pair.substr(colon + 1);
        const auto found = std::find_if(std::begin(levels), std::end(levels),
                                        [&](const auto& row) { return level == row.first; });
        if (user.empty() || found == std::end(levels)) {
            *problem = "\"" + std::string(pair) +
                       "\" is not user:level (the levels are read, create, replace and change)";
            rights->clear();
            return false;
        }
        if (!rights->emplace(std::string(user), found->second).second) {
            *problem = std::string(user) + " is given rights twice";
            rights->clear();
            return false;
        }
    }
    return true;
}

bool is_known_key(const std::string& key) {
    return find_row(key) != nullptr;
}

std::vector<std::string> config_value_problems(const std::string& key, const std::string& value,
                                               config_form form) {
    const key_row* row = find_row(key);
    if (row == nullptr) return {};
    if (row->kind == value_kind::password_file) return password_file_problems(value);
    std::string problem = value_problem(row->kind, value, form);
    if (problem.empty()) return {};
    return {std::move(problem)};
}

bool proxy_protocol_problem(const configuration& config, std::string* why) {
    if (!config.site.proxy_protocol) return false;
    if (config.site.tls || !config.tls_cert.empty() || !config.tls_cert_pem.empty()) {
        *why = "proxy_protocol=1 is for plain HTTP: put TLS at the proxy, without tls_cert";
        return true;
    }
    if (config.site.trusted_proxies.empty()) {
        *why = "proxy_protocol=1 takes headers from trusted_proxies only, and it lists none";
        return true;
    }
    return false;
}

bool may_start(const configuration& config, std::string* why) {
    if (proxy_protocol_problem(config, why)) return false;
    if (config.htpasswd_problems.empty() || config.htpasswd_unread) return true;
    const size_t lines = config.htpasswd_problems.size();
    *why = "the password file " + config.htpasswd + " has " + std::to_string(lines) +
           (lines == 1 ? " line" : " lines") + " that " + (lines == 1 ? "is" : "are") +
           " not taken";
    return false;
}

// A file name without a directory part: anything else would let the index
// name a file outside the directory asked for.
bool is_plain_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string::npos;
}

bool read_content_types(const std::string& file_name, param_map* types) {
    types->clear();
    std::string text;
    if (!read_regular_file(file_name, max_content_types_bytes, &text) ||
        !parse_content_types(text.data(), text.data() + text.size(), types)) {
        types->clear();
        return false;
    }
    return true;
}

std::string log_file_problem(const std::string& name) {
    struct stat info {};
    std::string reason;
    if (stat(name.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            reason = "it is a directory";
        } else if (!S_ISREG(info.st_mode)) {
            reason = "it is not a regular file";
        } else if (access(name.c_str(), W_OK) != 0) {
            reason = strerror(errno);
        }
    } else if (errno != ENOENT) {
        reason = strerror(errno);
    } else {
        const std::string directory = get_path(name).empty() ? "." : get_path(name);
        if (access(directory.c_str(), W_OK | X_OK) != 0) {
            reason = "can not create it in " + directory + ": " + strerror(errno);
        }
    }
    return reason.empty() ? "" : "the log " + name + " can not be written: " + reason;
}

std::string root_problem(const std::string& root) {
    const std::string problem = directory_problem(root);
    return problem.empty() ? "" : root + ": " + problem;
}
