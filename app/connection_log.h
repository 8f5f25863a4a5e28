// What one connection writes to the log, in the form the site chooses. The
// lines name the client: the connection's peer, or the client a trusted
// proxy names for the request at hand.
//
// The specified form (log_format spec): every connection event, job start and
// job result, each received request group and each answer's header, every
// line stamped "<stamp> node (ip = <peer>, port = <port>) ".
//
// The combined form (log_format combined): one line per answered request, as
// the combined access log format of web servers has it,
//   addr - user [09/Dec/2026:04:20:00 +0000] "GET /a HTTP/1.1" 200 1234 "referer" "agent"
// with the logged-in user or "-", the bytes of the body, and the request line
// and fields escaped ("\xHH"). No request head and no credentials ever reach
// it. Besides, short lines "[date] addr:port what" (an IPv6 address in
// brackets) for what an operator or
// fail2ban looks for: a failed login, the login limit reached, an upload
// stored or refused, a file that ended before its announced length, and a
// connection closed by a failure (a time limit, a full receive buffer, an
// error of the socket). Connections that open and close normally, and jobs,
// write nothing.
#pragma once

#include <string>
#include <string_view>

#include "app/log_format.h"
#include "engine/socket_engine.h"

// What the combined line says of one answered request.
struct request_record {
    std::string_view request_line;  // as received: "GET /a HTTP/1.1"
    std::string_view referer;       // empty: none
    std::string_view user_agent;
    std::string_view user;  // the logged-in user; empty: "-"
    int status = 0;
    long long body_bytes = 0;
};

class connection_log {
  public:
    // Logs about `node` (its peer, job and result) in `format`.
    connection_log(log_format format, const se_basic_node& node) : format(format), node(node) {}

    // The node has its client (its peer, or the client a PROXY header
    // named): the lines from now on name it.
    void connected(const sockaddr_storage& client);
    // The lines from now on name `client`: the one a proxy names for a request.
    void client_is(const sockaddr_storage& client);
    void disconnected();
    void job_activated(bool activated);
    void job_finished();
    // A request group as received, without its closing empty line.
    void group_received(std::string_view text);
    // An event of the connection: "authorization detected", "error detected"...
    void event(const char* text);
    // An event that the combined form writes too: "login limit reached"...
    void notice(const char* text);
    // `what` followed by text from the network: "upload stored: ", ...
    void notice(const char* what, const std::string& text);
    // A login with credentials that do not pass: the combined form only.
    void failed_login();
    // An answer written: its header without the closing empty line, and the request.
    void answer(std::string_view header, const request_record& record);
    // An interim answer ("100 Continue"): the specified form only.
    void interim_answer(std::string_view header);
    // The connection closes for `reason`: a job's result or a request not
    // served. The combined form only: the specified one has logged the cause.
    void closed_by(const char* reason);

  private:
    log_format format;
    const se_basic_node& node;
    sockaddr_storage client{};

    // The peer part of every line of the specified form,
    // "node (ip = <peer>, port = <port>) ", made once per connection.
    std::string prefix_text;

    bool spec() const { return format == log_format::spec; }
    const char* prefix();
    // A separator-framed block: the titled event line, then `text`.
    void block(const char* title, std::string_view text);
    void short_line(std::string_view what);
};
