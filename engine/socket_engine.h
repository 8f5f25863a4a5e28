// The socket engine: non-blocking TCP connections driven by polling.
//
// A node (`se_basic_node`) is one socket that runs at most one job at a time:
// connect, shut down, disconnect, receive or send. Its owner steps it from a
// poll loop; a step advances the job by at most one system call and never
// waits (readiness is tested with a zero timeout). A job ends with a
// `results` code delivered to the node's `result_proc()` hook; subclasses act
// through the hooks and may start, abort or close jobs from inside them.
//
// `se_server` listens, accepts at most one connection per poll, makes a node
// for it through `new_node()`, steps its nodes and deletes the disconnected
// ones. `se_client` owns nodes that connect out and steps them, deleting none.
//
// Between two polls the owner of a server either pauses for a fixed time or
// calls `se_server::wait()`, which returns as soon as a socket has work. With
// `set_wake_on_io(true)` the steps also take what the last wait saw of their
// sockets instead of testing them again; by default every step tests its own.
//
// Everything here runs on the one thread that polls: nodes share a static
// discard buffer, and no operation takes a lock. Nothing throws and nothing
// logs: failures are result codes (`results`) or server error codes (`errors`).
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "engine/mt_obj.h"
#include "engine/transport.h"

class se_basic_node {
  public:
    enum jobs {
        no_job,       // cannot be started
        _connect,     // open a socket and connect it to `addr`
        _shutdown,    // shut down both directions, keeping the socket
        _disconnect,  // close the connection
        _recv,        // receive into `buffer`
        _send,        // send from `buffer`, then the file tail if one is set
    };

    enum results {
        no_result,                        // no job has run yet
        busy,                             // the job is running
        already_connected,                // `_connect` on a connected node
        socket_failed,                    // socket() failed during `_connect`
        can_not_enable_nonblocking_mode,  // the new socket stayed blocking
        select_failed,                    // the readiness test failed
        connection_attempt_failed,        // the pending connection was refused or failed
        already_disconnected,             // job on a node that is not connected
        shutdown_failed,
        recv_failed,
        connection_closed,  // the peer closed the connection
        send_failed,
        aborted_with_timeout,   // the job ran longer than `job_timeout`
        aborted,                // abort_job() ended the job
        success,                // the job completed
        success_with_overflow,  // completed, but `to_transfer` exceeded `buffer_size`
    };

    static const char* const job_str[7];
    static const char* const result_str[17];

    // What a readiness test says of a socket: the test failed (or the
    // descriptor is not open), nothing yet, ready, or an error or hang-up.
    enum class readiness { failed, pending, ready, error };

    se_basic_node() = default;
    // Calls disconnect(). Only this class's empty hooks run here: a subclass
    // that wants its hooks to see the close calls disconnect() itself.
    virtual ~se_basic_node();
    se_basic_node(const se_basic_node&) = delete;
    se_basic_node& operator=(const se_basic_node&) = delete;

    // Called by the owner before every step, whether or not a job runs.
    virtual void before_job_proc() {}
    // Called exactly once whenever a job ends; `job_active()` is already false
    // and `get_result()` set. For `connection_closed` and a successful
    // `_disconnect` the socket is already closed while `connected()` is still
    // true: the hook must not call disconnect() then.
    virtual void result_proc() {}
    // Called when the node has become connected (after `_connect` succeeded).
    virtual void after_connect() {}
    // Called after the node's connection has been closed.
    virtual void after_disconnect() {}

    // Starts `job`. Refused (false, nothing changed) while a job runs or for a
    // value outside 1..5. `again` asks the owner for another step in the same
    // poll. Set `buffer`, `buffer_size` and `to_transfer` first for
    // `_recv` and `_send`.
    bool activate_job(jobs job, bool again);
    // Ends a running job with `aborted`; the socket and the transfer counts
    // are left as they are. Without a running job it does nothing.
    void abort_job();
    // One step of the running job: at most one connect, recv or send call.
    void job_proc();
    // Aborts the running job, then shuts down and closes a connected socket
    // and calls after_disconnect(). A connection attempt still pending is
    // closed too (without hook), so no descriptor is left behind.
    void disconnect();

    // Gives the node a transport that its receives and sends go through from
    // now on (before its first job); null: plain TCP, as without one.
    void set_transport(std::unique_ptr<transport> given) { via = std::move(given); }
    transport* get_transport() const { return via.get(); }

    bool job_active() const { return is_job_active; }
    time_t job_activation_time() const { return activation_time; }
    jobs get_job() const { return job; }
    results get_result() const { return result; }
    bool ready_for_job_proc() const { return is_ready_for_job_proc; }
    bool connected() const { return is_connected; }
    // The peer's address as text: dotted IPv4 (also when it came through an
    // IPv6 socket), or IPv6.
    std::string get_ip() const;
    unsigned short get_port() const;  // the peer's port in host byte order
    // The peer as a client is counted: its IPv4 address, or the /64 of its
    // IPv6 one (one household, or one attacker, holds a whole /64).
    std::uint64_t get_peer_key() const;

    static const char* get_job_str(jobs job);
    static const char* get_result_str(results result);

  protected:
    // Measured on the monotonic clock from the job's start: the first step at
    // or after the limit ends the job with `aborted_with_timeout` (never an
    // earlier one), and wait() does not sleep past it.
    unsigned int job_timeout = 0xFFFFFFFF;  // milliseconds; 0xFFFFFFFF: no limit
    bool partial_recv = false;              // `_recv` ends after any successful receive
    int last_io_result = 0;                 // what the job's last recv or send returned
    int transferred = 0;     // bytes moved by the current job, discarded ones included
    int to_transfer = 0;     // bytes the current `_recv` or `_send` is to move
    int buffer_size = 0;     // capacity of `buffer`
    char* buffer = nullptr;  // the job's data area, owned by the subclass
    int family = AF_INET;    // the arguments of socket()
    int type = SOCK_STREAM;
    int protocol = IPPROTO_TCP;
    int sock = -1;            // owned; -1 when there is none
    sockaddr_storage addr{};  // the peer (IPv4 or IPv6), in network byte order
    bool is_job_active = false;
    time_t activation_time = 0;  // whole seconds of time(): for dates, not for the limit
    jobs job = no_job;
    results result = no_result;  // `busy` exactly while a job runs
    bool is_ready_for_job_proc = false;
    bool is_connected = false;  // implies an open socket

    // An optional file tail for `_send`, set before the job starts. Once the
    // buffer's bytes are sent, the job sends `send_file_remaining` bytes of
    // `send_file_fd` from `send_file_offset` with sendfile(), a piece per step
    // as the socket takes them, moving both on; `transferred` counts the
    // buffer's bytes only. It then ends as the buffer part alone would have
    // (`success`, or `success_with_overflow`). A file that has grown is sent
    // only up to the range; one that ends before it (it shrank) ends the job
    // with `send_failed` and `last_io_result` 0, `send_file_remaining` telling
    // what is missing. With `job_timeout`, the tail is limited per stall: each
    // step that moves bytes starts the limit again, so a reader that keeps
    // taking bytes is never cut off and one that stops for the limit is.
    // `send_file_fd` -1 or `send_file_remaining` 0: no tail, a plain `_send`.
    // The node does not own the descriptor.
    int send_file_fd = -1;
    off_t send_file_offset = 0;
    off_t send_file_remaining = 0;

  private:
    friend class se_server;
    friend bool prepare_server_node(se_basic_node* node, int accepted_sock,
                                    const sockaddr_storage& peer);
    friend bool prepare_client_node(se_basic_node* node, int family, int type, int protocol,
                                    const char* ip, unsigned short port);

    // What the owner's last wait learned about `sock`, handed over for one
    // step and kept up to date by its calls: the events known about (0:
    // nothing known) and those found ready. Only a node whose owner wakes on
    // I/O uses them.
    bool wait_driven = false;
    short known_events = 0;
    short seen_events = 0;
    // The last wait found other sockets ready as well: a file tail then goes
    // out a bounded piece per step, so that they are not kept waiting.
    bool shares_the_round = false;
    // Counts what moves the node on: jobs started and ended, bytes moved.
    unsigned long progress = 0;
    // monotonic_ns() when `job_timeout` started counting: the job's start.
    long long timeout_clock_start = 0;
    // The transport, and the readiness it asked for at its last call (0:
    // what the job's direction needs). A file tail through a transport is
    // read into `buffer` a piece at a time: the piece's length and how much
    // of it has gone.
    std::unique_ptr<transport> via;
    short transport_wants = 0;
    size_t tail_piece = 0;
    size_t tail_piece_sent = 0;

    int wait_events() const;
    void learn(short asked, short found) {
        known_events = asked;
        seen_events = found;
    }
    void forget_readiness() { known_events = 0; }
    readiness readiness_for(short events);
    void learn_from_transfer(short events, int moved, int asked);

    void end_job(results job_result);
    void end_transfer();
    void close_socket();
    void finish_disconnect(results job_result);
    void step_connect();
    void step_shutdown();
    void step_disconnect();
    void step_recv();
    void step_send();
    bool file_tail_pending() const { return send_file_fd != -1 && send_file_remaining > 0; }
    void send_file_piece();
    // Through the transport: the call of a step, and what its outcome means.
    void recv_through_transport();
    void send_through_transport(const char* data, size_t length, bool tail);
    void send_file_piece_through_transport();
    void send_transport_piece();
    // False when the transport waits for readiness that the socket lacks.
    bool transport_ready();
    bool transport_waits(transport::outcome outcome);
    // Counts `moved` bytes of the buffer sent; ends the job, or goes on to
    // the file tail, once they are all.
    void buffered_bytes_sent(int moved);
    void check_timeout();
    bool has_timeout() const { return job_timeout != 0xFFFFFFFF; }
    // The running job's limit counts from now (only a node with a limit reads the clock).
    void restart_timeout_clock();
    // Milliseconds, rounded up, from `now` (monotonic_ns()) until the running
    // job reaches its limit: 0 once it has, `no_deadline` without a limit.
    static constexpr unsigned long no_deadline = ~0UL;
    unsigned long ms_until_timeout(long long now) const;
};

// A peer's address as text: dotted IPv4 (also when it came through an IPv6
// socket, ::ffff:a.b.c.d), or IPv6; and its port in host byte order.
std::string address_text(const sockaddr_storage& address);
unsigned short address_port(const sockaddr_storage& address);
// A peer as a client is counted: its IPv4 address, or the /64 of its IPv6
// one (one household, or one attacker, holds a whole /64).
std::uint64_t address_key(const sockaddr_storage& address);

// Gives one poll to a node: before_job_proc() and job_proc(), repeated for as
// long as the node asks for another step within the same poll.
void step_node(se_basic_node& node);

// A node for an accepted connection: connected from birth, never runs `_connect`.
class se_server_node : public se_basic_node {};

// Hands an accepted socket and its peer address to a node and marks it
// connected. Refused (false, nothing changed) when the node is connected.
bool prepare_server_node(se_basic_node* node, int accepted_sock, const sockaddr_storage& peer);
// The same for an IPv4 peer.
bool prepare_server_node(se_basic_node* node, int accepted_sock, sockaddr_in peer);

class se_server : public mt_obj {
  public:
    enum errors {
        no_error,
        socket_failed,
        bind_failed,
        listen_failed,
        can_not_enable_nonblocking_mode,
        accept_failed,
        can_not_enable_nonblocking_mode_on_accepted_socket,
        select_failed,
    };

    static const char* const error_str[9];

    se_server() = default;
    // deactivate(): every node is disconnected and deleted.
    ~se_server() override;

    // Called with the code when one of the server's socket calls fails.
    virtual void after_error(errors) {}
    // Makes the node for an accepted connection; it must not be connected.
    // The server owns it. May return null: the connection is then closed.
    virtual se_server_node* new_node() { return new se_server_node; }

    // Sets what activate() opens and binds. Refused (false) while active.
    // With AF_INET, an address text that is not dotted IPv4 makes activate()
    // fail with `bind_failed`; with AF_INET6, one that is not IPv6 does, and
    // "::" listens on every address, IPv4 ones too.
    bool prepare(int family, int type, int protocol, const char* ip, unsigned short port);
    // Opens a non-blocking socket, binds it (with SO_REUSEADDR: a restart
    // binds over its predecessor's connections in TIME_WAIT, but never beside
    // another listener) and, when `listen_too` is true, listens with a backlog
    // of 128. Refused (false, no hook) while active; every failure closes the
    // socket and reports through after_error().
    bool activate(bool listen_too);
    // With true, activate() binds with SO_REUSEPORT too: processes of one
    // user that each do so listen on the same address and port, and the
    // system spreads the connections between their sockets. Refused (false)
    // while active.
    bool share_port(bool on);
    // Disconnects and deletes every node, then closes the listening socket.
    void deactivate();
    // One poll: accepts at most one connection, then steps every node once
    // and deletes each node that is no longer connected. Never blocks.
    void job_proc();
    // Waits at most `milliseconds` for work: a connection to accept, bytes
    // (or a close or an error) for a node whose `_recv` runs, room for a node
    // whose `_send` runs, the end of a `_connect`, a job reaching its
    // `job_timeout` (the wait ends then, not later). Returns true at once, and
    // without waiting, when a node's next step needs no readiness at all
    // (`_shutdown`, `_disconnect`, a job on a node without a connection).
    // Nodes without a job are not waited on. In wake-on-I/O mode, after an
    // accept failed, the listening socket rests: it is neither waited on nor
    // tested until a node has gone or a wait has run the caller's full time,
    // so a full descriptor table cannot keep the caller busy. Returns false
    // when the caller's time ran out (or the wait failed: it then pauses for
    // the time).
    bool wait(unsigned long milliseconds);
    // A descriptor that the owner makes readable to end a wait before its
    // time: a signal's handler or another thread writes to it (an eventfd
    // or a pipe, non-blocking). wait() watches it beside the sockets, reads
    // whatever it holds and returns true. -1: none. A signal that interrupts
    // the wait ends it too, and wait() then returns true.
    void set_wakeup(int fd) { wakeup = fd; }
    // Wake-on-I/O mode, off by default. When on, a step takes the readiness
    // that the last wait() saw instead of testing its socket again, a receive
    // that leaves the socket empty is not tested again in the same poll, and a
    // node that received bytes is stepped again in the same poll, so that its
    // before_job_proc() sees them at once. The owner then calls wait() before
    // every poll. Nodes accepted while it is on are driven the same way.
    void set_wake_on_io(bool on);
    bool wakes_on_io() const { return wake_on_io; }
    // Whether the last poll moved anything on: a connection accepted, a node
    // deleted, a job started or ended, bytes received or sent.
    bool made_progress() const { return progressed; }

    bool active() const { return is_active; }
    std::string get_ip() const;
    unsigned short get_port() const;
    static const char* get_error_str(errors error);

  protected:
    std::list<se_server_node*> nodes;  // oldest first; owned
    int family = AF_INET;
    int type = SOCK_STREAM;
    int protocol = IPPROTO_TCP;
    int sock = -1;            // the listening socket
    sockaddr_storage addr{};  // the local address to bind, in network byte order
    bool is_active = false;
    bool port_shared = false;

  private:
    bool wake_on_io = false;
    bool progressed = false;
    // Wake-on-I/O mode, after a failed accept: the listener is neither waited
    // on nor tested until a node has gone (and freed its descriptor) or a
    // wait has run its full time.
    bool listener_resting = false;
    int wakeup = -1;
    // The listener, the wakeup descriptor, then one entry per node in list
    // order, as the last wait saw them; `wait_fresh` while the poll that
    // follows it has not run yet. Reused by every wait.
    std::vector<pollfd> wait_set;
    bool wait_fresh = false;
    int ready_in_wait = 0;  // sockets the last wait found ready

    se_basic_node::readiness connection_pending();
    void accept_one();
    void adopt(int accepted_sock, const sockaddr_storage& peer);
    void step_nodes();
    void drain_wakeup();
};

// A node that connects out: prepare() it, then start a `_connect` job.
class se_client_node : public se_basic_node {
  public:
    bool prepare(int family, int type, int protocol, const char* ip, unsigned short port);
};

// Sets the remote address that `_connect` connects to. Refused (false,
// nothing changed) when the node is connected; a pending attempt's socket
// stays in use.
bool prepare_client_node(se_basic_node* node, int family, int type, int protocol, const char* ip,
                         unsigned short port);

// Owns client nodes and steps them. Nodes that lose their connection stay in
// the list and may connect again.
class se_client : public mt_obj {
  public:
    se_client() = default;
    // disconnect(), then delete_all_nodes(): every node's hooks see the close.
    ~se_client() override;

    // Appends a node to the back of the list; the client owns it from now on.
    void add_node(se_client_node* node);
    // One poll: steps every node, front to back.
    void job_proc();
    // Disconnects every node; the nodes stay in the list.
    void disconnect();
    // Deletes every node (each destructor disconnects) and empties the list.
    void delete_all_nodes();

  protected:
    std::list<se_client_node*> nodes;  // in the order added; owned
};
