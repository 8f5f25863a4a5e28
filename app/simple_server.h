// The web server's classes on top of the socket engine.
//
// `simple_se_server` is the listening server: its factory makes a
// `simple_server_node` for every accepted connection and its error hook logs.
// `simple_server_node` is one HTTP connection. It owns a receive buffer and a
// response buffer of the sizes its site policy names, keeps the connection's
// authentication state, and cycles: receive a request group, answer it with
// one send, receive the next group on the same connection. Every event is
// logged with the prefix "<stamp> node (ip = <peer>, port = <port>) ".
#pragma once

#include <string>
#include <string_view>

#include "app/login_limit.h"
#include "app/responder.h"
#include "engine/socket_engine.h"

class simple_server_node : public se_server_node {
  public:
    // Highest attempt count at which credentials are still examined.
    static int max_a_counter;

    // Allocates both buffers; check has_buffers() before using the node.
    // The node answers as `site` says; it must outlive the node.
    explicit simple_server_node(const site_policy* site);
    // Disconnects first, so this class's hooks log the close.
    ~simple_server_node() override;

    // False when a buffer could not be allocated: such a node must not serve.
    bool has_buffers() const { return in_buf != nullptr && out_buf != nullptr; }

    // The request handler: answers a request group once it is complete.
    void before_job_proc() override;
    void result_proc() override;
    void after_connect() override;
    void after_disconnect() override;

  protected:
    bool etx_detected = false;  // the received bytes ended with an empty line at the last check
    const site_policy* site;
    login_state login;
    int in_size;
    char* in_buf;
    int out_size;
    char* out_buf;
    // While a group arrives: where the first head not yet looked at begins,
    // and how far the received bytes have been searched for a head's end.
    int unchecked_head = 0;
    int searched = 0;
    // An HTTP/1.0 request of the group did not ask to keep the connection,
    // or its client may try no more logins: it is closed once the group's
    // answers are sent.
    bool close_after_send = false;
    // Where the group goes on behind an answer whose body is sent from its
    // file: answered once that send is done. Null: the group is answered.
    char* group_rest = nullptr;
    // The end of the received group: the byte count of a later job, such as
    // the send of an answer, says nothing of it.
    char* group_end = nullptr;
    open_file body_file;  // the file whose body the send job ends with
    // An upload whose body is arriving, the answers of its group written
    // before it, and the length of the announcing head as logged.
    std::unique_ptr<upload> body_upload;
    int answered_length = 0;
    int announced_head_length = 0;

  private:
    bool answer_pages_resident = false;  // an answer has used the buffer past its kept pages

    // The peer part of every line, "node (ip = <peer>, port = <port>) ",
    // made once for the peer address it was made from.
    std::string log_prefix_text;
    in_addr_t log_prefix_ip = 0;
    in_port_t log_prefix_port = 0;

    const char* log_prefix();
    // Gives the response buffer's pages past its first few back to the
    // system once a connection that sent a large answer has waited a second
    // for its next request: idle connections hold what small answers need,
    // not the peak of their largest one. Called before every step.
    void release_idle_answer_pages();
    void release_answer_pages();
    void start_recv();
    void log_job_activation(bool activated);
    void log_event(const char* event);
    // A separator-framed block: the event line, then `text`, made safe for the log.
    void log_block(const char* event, std::string_view text);
    bool body_announced();
    // Logs the received group and answers it; `body_follows`: its last head
    // announces a body, which is not part of the group.
    void answer_received_group(bool body_follows);
    // Whether a receive that filled the buffer holds an upload's head with
    // the start of its body: a client that does not wait for "100 Continue"
    // sends both at once, and the body is read through the buffer, not into it.
    bool upload_fills_buffer();
    void answer_request_group(char* current);
    // Writes `a` at `pos` and logs its header (and "error detected" for any
    // answer but the file); false when not even a short answer fits in `room`.
    bool write_logged(const answer& a, char* pos, int room, written* w);
    // Starts the send job of the first `length` bytes of the response buffer.
    void send_answers(int length);
    void send_body_from(answer a);
    void take_upload(answer a, const char* received, size_t size);
    void go_on_with_upload();
    // An event line that ends with `text` from the network, made safe for the log.
    void log_text_event(const char* event, const std::string& text);
    void end_body_from_file();
};

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

  private:
    int error_number = 0;
    site_policy site;
    login_limiter logins;
};
