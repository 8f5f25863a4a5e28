// The web server's listening server on top of the socket engine: its factory
// makes a `simple_server_node` (app/connection.h) for every accepted
// connection, serving the site policy it was given, and its error hook logs.
#pragma once

#include "app/connection.h"
#include "app/login_limit.h"
#include "app/responder.h"
#include "engine/socket_engine.h"
#include "engine/tls_transport.h"

class simple_se_server : public se_server {
  public:
    // Logs the error, and keeps the system's error number of the call that
    // failed: the engine reports its own codes only.
    void after_error(errors error) override;
    // The error number kept by the last after_error: that of the failed
    // system call, or what errno held when the failure made none.
    int last_error_number() const { return error_number; }
    // Null when the node's buffers cannot be allocated: the server then
    // closes the connection and goes on.
    se_server_node* new_node() override;
    // The site that new connections serve, and the failed logins each client
    // address may make a minute (0: no limit).
    void serve(site_policy policy, unsigned int login_limit);
    // New connections speak TLS with `context` (a reload hands over a new
    // one; connections keep theirs); null: plain HTTP.
    void use_tls(std::shared_ptr<tls_context> context) { tls = std::move(context); }

  private:
    int error_number = 0;
    site_policy site;
    login_limiter logins;
    listing_cache listings;
    std::shared_ptr<tls_context> tls;
};
