#include "app/main.h"

#include <sys/socket.h>

#include <cstdlib>
#include <fstream>

#include "engine/platform.h"
#include "log/printf_ex.h"
#include "log/time_utils.h"

namespace settings {
std::string exe_name;
std::string login = "user";
std::string password = "5712";
std::string root;
int sizeof_in = 10240;
int sizeof_out = 1048576;
}  // namespace settings

simple_se_server server;

namespace {

bool is_retained(const std::string& line) {
    return !line.empty() && line.compare(0, 2, "//") != 0;
}

void set_if_positive(const std::string& text, int* setting) {
    int value = atoi(text.c_str());
    if (value > 0) *setting = value;
}

void log_settings(const listen_address& address) {
    printf_ex("////params:\n");
    printf_ex("////ip=%s\n", address.ip.c_str());
    printf_ex("////port=%hu\n", address.port);
    printf_ex("////login=%s\n", settings::login.c_str());
    printf_ex("////password=%s\n", settings::password.c_str());
    printf_ex("////root=%s\n", settings::root.c_str());
    printf_ex("////sizeof_in=%i\n", settings::sizeof_in);
    printf_ex("////sizeof_out=%i\n", settings::sizeof_out);
}

void read_settings(listen_address* address) {
    std::string text;
    if (!read_config_text(change_ext(settings::exe_name, ".cfg"), &text)) {
        printf_ex("////can not read cfg-file\n");
    }
    param_map params;
    if (!parse_params(text.data(), text.data() + text.size(), &params)) {
        printf_ex("////can not parse params\n");
        return;
    }
    apply_config(params, address);
}

}  // namespace

bool read_config_text(const std::string& file_name, std::string* text) {
    text->clear();
    std::ifstream file(file_name);
    if (!file.is_open()) return false;
    std::string line;
    while (file.peek() != std::ifstream::traits_type::eof() && std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (is_retained(line)) text->append(line).append("\r\n");
    }
    text->append("\r\n");
    return true;
}

void apply_config(const param_map& params, listen_address* address) {
    auto found = [&params](const char* key) {
        auto it = params.find(key);
        return it == params.end() ? nullptr : &it->second;
    };
    if (auto* ip = found("ip")) address->ip = *ip;
    if (auto* port = found("port")) {
        address->port = static_cast<unsigned short>(atoi(port->c_str()) & 0xFFFF);
    }
    if (auto* login = found("login")) settings::login = *login;
    if (auto* password = found("password")) settings::password = *password;
    if (auto* root = found("root")) settings::root = *root;
    if (auto* size = found("sizeof_in")) set_if_positive(*size, &settings::sizeof_in);
    if (auto* size = found("sizeof_out")) set_if_positive(*size, &settings::sizeof_out);
}

bool start_up(const char* argv0) {
    settings::exe_name = argv0;
    printf_ex_init(true, true, change_ext(settings::exe_name, ".log").c_str(), "w");
    printf_ex("%s%s logging started\n", log_separator_line, system_time_str().c_str());

    listen_address address;
    settings::root = get_path(settings::exe_name) + "root/";
    read_settings(&address);
    log_settings(address);

    server.prepare(AF_INET, SOCK_STREAM, IPPROTO_TCP, address.ip.c_str(), address.port);
    bool active = server.activate(true);
    printf_ex(active ? "%s server activated\n" : "%s can not activate server\n",
              system_time_str().c_str());
    return active;
}

void run_main_loop() {
    for (;;) {
        server.job_proc();
        Sleep(100);
    }
}
