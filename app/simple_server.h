// The web server's listening server on top of the socket engine: its factory
// makes a `simple_server_node` (app/connection.h) for every accepted
// connection, serving the site policy it was given, and its error hook logs.
#pragma once

#include "app/connection.h"
#include "app/site_policy.h"
#include "app/site_services.h"
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
    // What new connections serve, and the services they share: start-up
    // fills both in before the server is activated (app/config.h
    // assemble_site); the policy is only read afterwards.
    site_policy& policy() { return site; }
    site_services& shared_services() { return services; }
    // New connections speak TLS with `context` (a reload hands over a new
    // one; connections keep theirs); null: plain HTTP.
    void use_tls(std::shared_ptr<tls_context> context) { tls = std::move(context); }

  private:
    int error_number = 0;
    site_policy site;
    site_services services;
    std::shared_ptr<tls_context> tls;
};
