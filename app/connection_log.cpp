#include "app/connection_log.h"

#include <cstdio>
#include <cstring>

#include "log/printf_ex.h"
#include "log/time_utils.h"

const char* connection_log::prefix() {
    if (prefix_text.empty()) {
        char text[96];  // the longest: "node (ip = <an IPv6 address>, port = 65535) "
        snprintf(text, sizeof text, "node (ip = %s, port = %hu) ", address_text(client).c_str(),
                 address_port(client));
        prefix_text = text;
    }
    return prefix_text.c_str();
}

void connection_log::short_line(std::string_view what) {
    // An IPv6 address in brackets, so that its port stands apart.
    const std::string ip = address_text(client);
    const bool v6 = ip.find(':') != std::string::npos;
    std::string line = "[" + access_log_time_str() + "] " + (v6 ? "[" + ip + "]" : ip) + ":" +
                       std::to_string(address_port(client)) + " ";
    line.append(what);
    line += '\n';
    printf_ex("%s", line.c_str());
}

void connection_log::connected(const sockaddr_storage& peer) {
    client = peer;
    prefix_text.clear();
    if (spec()) event("connected");
}

void connection_log::client_is(const sockaddr_storage& peer) {
    if (memcmp(&client, &peer, sizeof client) == 0) return;
    client = peer;
    prefix_text.clear();
}

void connection_log::disconnected() {
    if (spec()) event("disconnected");
}

void connection_log::job_activated(bool activated) {
    if (!spec()) return;
    printf_ex(activated ? "%s %sjob %s activated\n" : "%s %scan not activate job %s\n",
              system_time_str().c_str(), prefix(), se_basic_node::get_job_str(node.get_job()));
}

void connection_log::job_finished() {
    if (!spec()) return;
    printf_ex("%s %sjob %s finished with result %s\n", system_time_str().c_str(), prefix(),
              se_basic_node::get_job_str(node.get_job()),
              se_basic_node::get_result_str(node.get_result()));
}

void connection_log::block(const char* title, std::string_view text) {
    // Text from the network may hold control bytes that would forge log lines or
    // drive the operator's terminal. Shared by all connections: one thread logs.
    static std::string safe_text;
    safe_text.clear();
    append_log_safe(&safe_text, text.data(), text.size());
    printf_ex("%s%s %s%s\n%s%s\n%s", log_separator_line, system_time_str().c_str(), prefix(), title,
              log_separator_line, safe_text.c_str(), log_separator_line);
}

void connection_log::group_received(std::string_view text) {
    if (spec()) block("etx detected", text);
}

void connection_log::event(const char* text) {
    if (spec()) printf_ex("%s %s%s\n", system_time_str().c_str(), prefix(), text);
}

void connection_log::notice(const char* text) {
    if (spec()) return event(text);
    short_line(text);
}

void connection_log::notice(const char* what, const std::string& text) {
    std::string line = what;
    append_log_safe(&line, text.data(), text.size());
    notice(line.c_str());
}

void connection_log::answer(std::string_view header, const request_record& record) {
    if (spec()) return block("header to send", header);
    std::string line = address_text(client) + " - ";
    if (record.user.empty()) {
        line += '-';
    } else {
        append_access_log_field(&line, record.user);
    }
    line += " [" + access_log_time_str() + "] \"";
    append_access_log_field(&line, record.request_line);
    line += "\" " + std::to_string(record.status) + " " + std::to_string(record.body_bytes) + " \"";
    append_access_log_field(&line, record.referer.empty() ? "-" : record.referer);
    line += "\" \"";
    append_access_log_field(&line, record.user_agent.empty() ? "-" : record.user_agent);
    line += "\"\n";
    printf_ex("%s", line.c_str());
}

void connection_log::interim_answer(std::string_view header) {
    if (spec()) block("header to send", header);
}

void connection_log::failed_login() {
    if (!spec()) short_line("login failed");
}

void connection_log::closed_by(const char* reason) {
    if (!spec()) short_line(std::string("closed: ") + reason);
}
