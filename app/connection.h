// One HTTP connection: `simple_server_node`, a node of the socket engine that
// owns a receive buffer and a response buffer of the sizes its site policy
// names (allocated once, at construction), keeps the connection's login, and
// cycles: receive a request group, answer it with one send, receive the next.
// Every event is logged with the prefix "<stamp> node (ip = <peer>, port = <port>) ".
//
// Its states, and what the response buffer holds unsent in each:
//
//   receiving    A request group arrives in the receive buffer (behind the
//                bytes of it that came with an earlier body, if any). The
//                response buffer holds nothing unsent.
//   sending      The group's answers leave from the response buffer, the body
//                of the last one possibly from its file behind them, or made
//                a piece at a time into the buffer by its source. What the
//                group still holds waits in the receive buffer.
//   taking_body  A request's body arrives through the receive buffer and goes
//                to what takes it (an upload). The answers written before the upload wait
//                unsent in the response buffer, to leave with its answer.
//   deciding     A request of the group waits for work on another thread (a
//                password being hashed): no job runs. The answers written
//                before it wait unsent in the response buffer; once the
//                work is done the group is answered on from that request.
//   discarding   The body of a request that was answered without it (a 401)
//                is read and thrown away; then the connection goes on.
//   draining     The last answer is sent and the sending side shut down; what
//                the client still sends of a body is read and thrown away,
//                within a byte and a time bound, so that the client reads the
//                answer instead of a reset. Then the connection closes.
//
// The rule for the response buffer: its pages past the first few may be given
// back to the system only while nothing in it is unsent, that is while
// receiving or draining, and only once the connection has waited a second.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "app/body_reader.h"
#include "app/connection_log.h"
#include "app/request.h"
#include "app/responder.h"
#include "app/site_services.h"
#include "engine/socket_engine.h"

class simple_server_node : public se_server_node {
  public:
    // Highest attempt count at which credentials are still examined.
    static int max_a_counter;

    enum class state { receiving, sending, deciding, taking_body, discarding, draining };

    // Allocates both buffers; check has_buffers() before using the node.
    // The node answers as `site` says, with the shared `services`; both must
    // outlive the node.
    simple_server_node(const site_policy* site, site_services* services);
    // Disconnects first, so this class's hooks log the close.
    ~simple_server_node() override;

    // False when a buffer could not be allocated: such a node must not serve.
    bool has_buffers() const { return in_buf != nullptr && out_buf != nullptr; }
    state current_state() const { return now; }

    // Looks at the received bytes before every step, and answers a request
    // group once it is complete.
    void before_job_proc() override;
    void result_proc() override;
    void after_connect() override;
    void after_disconnect() override;

  protected:
    const site_policy* site;
    site_services* services;
    login_state login;
    int in_size;
    char* in_buf;
    int out_size;
    char* out_buf;

  private:
    state now = state::receiving;

    // receiving: the connection's first bytes are to be a PROXY header.
    bool awaiting_proxy_header = false;
    void await_proxy_header();
    void read_proxy_header_received();
    void proxy_header_job_ended();

    // What the decision of a request group reads, at the time it is made.
    decision_context context() const;

    // receiving: the bytes of the group that were already in the receive
    // buffer when its receive job started, and how far they have been framed.
    int carried = 0;
    group_scan scan;
    // The end of the received group: the byte count of a later job, such as
    // the send of its answers, says nothing of it.
    char* group_end = nullptr;
    // sending: where the group goes on behind an answer whose body is sent
    // from its file, answered once that send is done; null when it is answered.
    char* group_rest = nullptr;
    // sending: the bytes of the next group, which came behind a body in the
    // group's receive; received again from the start of the buffer.
    char* next_group = nullptr;
    int next_group_length = 0;
    // After the send: the connection closes (once drained when a body is
    // unread), and the bytes of a body still to be read and thrown away
    // (-1: its length is not known).
    bool close_after_send = false;
    long long unread_body = 0;
    long long drained = 0;        // draining: the bytes read and thrown away so far
    long long drain_ends_ns = 0;  // draining: when it stops (monotonic_ns)

    open_file body_file;  // the file whose body the send job ends with
    // sending: the source of a generated body still being sent, and whether
    // it goes in chunks.
    std::unique_ptr<body_source> generating;
    bool generating_chunked = false;
    // taking_body: the body and the length of the answers written before it.
    std::unique_ptr<body_reader> body;
    // sending: the answer to a body, which waits for the answers before it
    // to leave the response buffer they fill.
    std::unique_ptr<answer> deferred_answer;
    int answered_length = 0;
    // The receives of the body that follow each other within one poll, and
    // since when (monotonic_ns).
    bool body_chain_running = false;
    long long body_chain_started_ns = 0;

    bool answer_pages_resident = false;  // an answer has used the buffer past its kept pages

    connection_log log;
    // taking_body: what the access log says of the body's request.
    struct {
        std::string line, referer, user_agent;
    } body_request;

    bool tls_told = false;  // the TLS version and cipher are in the log
    void tell_tls();
    void refuse_outside_tls();

    // Logs what the decision says of a request before its answer.
    void log_decision(const answer& a);
    // Closes the connection for `reason` (combined log only; the specified
    // log has said why already).
    void close_for(const char* reason);

    // Gives the response buffer's pages past its first few back to the
    // system once a connection that sent a large answer has waited a second
    // with nothing unsent: idle connections hold what small answers need,
    // not the peak of their largest one. Called before every step.
    void release_idle_answer_pages();
    void release_answer_pages();

    // receiving: starts the receive of a group whose first `length` bytes
    // are at `begin` (anywhere in the receive buffer, or none).
    void start_receiving(const char* begin, int length);
    int received() const { return carried + transferred; }
    void frame_received();
    // Logs the received group and answers it.
    void answer_received_group(group_frame frame);
    void answer_request_group(char* current);
    // Answers the heads from `current` on, behind the answers written so far.
    void answer_on(char* current);
    // deciding: the work the decision of `decide_from` waits for.
    std::shared_ptr<work_ticket> decision_waits_for;
    char* decide_from = nullptr;
    // Writes `a` at `pos` and logs its header (and "error detected" for any
    // answer but the file); false when not even a short answer fits in `room`.
    bool write_logged(const answer& a, char* pos, int room, written* w);
    // What follows `next` when an answer has not taken the request's body of
    // `length` bytes (-1: not known).
    void skip_unread_body(long long length, char* next);
    // Starts the send job of the first `length` bytes of the response buffer.
    void send_answers(int length);
    void send_with_first_piece(int length);
    void send_body_from(answer a);
    int next_generated_piece(char* at, int room);
    void send_generated_piece();
    void end_body_from_file();
    // What comes once the group's answers are sent.
    void after_answers_sent();
    void take_body(answer a, char* next);
    answer body_answer();
    void send_deferred_answer();
    void go_on_with_body();
    void start_discarding();
    void start_draining();
    void drain_on();
    // A receive job whose bytes go nowhere: at most `bytes` of them.
    void receive_to_discard(long long bytes);
};
