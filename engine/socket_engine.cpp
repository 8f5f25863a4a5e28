#include "engine/socket_engine.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "engine/platform.h"

namespace {

using readiness = se_basic_node::readiness;

// What the revents of a poll entry say for a test that `found` the descriptor.
readiness classify(short revents) {
    if (revents & POLLNVAL) return readiness::failed;
    if (revents & (POLLERR | POLLHUP)) return readiness::error;
    return revents != 0 ? readiness::ready : readiness::pending;
}

// Tests one descriptor for `events` without waiting. poll() rather than
// select(): a select set cannot hold descriptors of 1024 and above.
// `error` means the descriptor reported an error or hang-up condition;
// `failed` that the test itself failed (poll failed or the descriptor is not open).
readiness test_readiness(int fd, short events) {
    pollfd entry{fd, events, 0};
    int n = poll(&entry, 1, 0);
    if (n < 0) return readiness::failed;
    return n == 0 ? readiness::pending : classify(entry.revents);
}

// A receive or send is worth trying when the descriptor is ready or reports an
// error or hang-up: the call itself then tells the peer's close or the failure.
bool worth_a_call(readiness r) {
    return r == readiness::ready || r == readiness::error;
}

// What wait_events() returns for a node whose next step needs no readiness.
constexpr int step_at_once = -1;

// An IPv4 address as the dotted text has it (a text that is none gives
// INADDR_NONE, as inet_addr does), or an IPv6 one; an IPv6 text that is none
// leaves the family unset, which no bind takes.
sockaddr_storage make_address(int family, const char* ip, unsigned short port) {
    sockaddr_storage storage{};
    if (family == AF_INET6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
        if (inet_pton(AF_INET6, ip, &v6.sin6_addr) == 1) v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        return storage;
    }
    auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
    v4.sin_family = static_cast<sa_family_t>(family);
    v4.sin_port = htons(port);
    v4.sin_addr.s_addr = inet_addr(ip);
    return storage;
}

socklen_t address_length(const sockaddr_storage& address) {
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// Binds the listening socket. An address text that was not a dotted IPv4
// address left INADDR_NONE (255.255.255.255), which Linux would bind to and
// never receive a connection on: that counts as a failed bind. SO_REUSEADDR
// lets a restarted server bind over connections of its predecessor still in
// TIME_WAIT; a port that another socket listens on still fails.
bool bind_listening_socket(int fd, const sockaddr_storage& address, bool share_port) {
    if (address.ss_family == AF_INET &&
        reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr == INADDR_NONE) {
        return false;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (share_port && setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) return false;
    // An IPv6 socket on every address takes IPv4 clients too (dual stack).
    if (address.ss_family == AF_INET6) {
        int only_v6 = 0;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only_v6, sizeof only_v6);
    }
    return bind(fd, reinterpret_cast<const sockaddr*>(&address), address_length(address)) == 0;
}

bool connect_failed(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == -1 || error != 0;
}

// The most a node driven by its owner's wait sends of a file tail in one
// step (bench/run --latency measured what keeps the throughput).
const off_t file_piece_bytes = 1024 * 1024;

// A piece of a file tail read for a transport: four TLS records' worth, one
// read for four writes, still in the cache when the transport encrypts it.
// A 1 GiB download over TLS cost a sixth less CPU than with pieces of one
// record, and about the same with 32 or 128 KiB; pieces as large as the
// buffer (1 MiB) had cost a fifth more.
const size_t transport_piece_bytes = 64 * 1024;

// Shared by every node: the bytes that a receive job throws away once its
// buffer is full are read into here.
char discard_buffer[2048];

}  // namespace

std::string address_text(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            inet_ntop(AF_INET, v6.sin6_addr.s6_addr + 12, text, sizeof text);
        } else {
            inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        }
        return text;
    }
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    return text;
}

unsigned short address_port(const sockaddr_storage& address) {
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                     : reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

std::uint64_t address_key(const sockaddr_storage& addr) {
    std::uint64_t key = 0;
    if (addr.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(addr);
        if (!IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            for (int i = 0; i < 8; ++i)
                key = key << 8 | v6.sin6_addr.s6_addr[i];
            return key;
        }
        for (int i = 12; i < 16; ++i)
            key = key << 8 | v6.sin6_addr.s6_addr[i];
    } else {
        key = ntohl(reinterpret_cast<const sockaddr_in&>(addr).sin_addr.s_addr);
    }
    return key | 0xFFFFFFFF00000000ULL;  // no /64 of IPv6 as it is used begins so
}

const char* const se_basic_node::job_str[7] = {
    "no_job", "_connect", "_shutdown", "_disconnect", "_recv", "_send", "unknown_job",
};

const char* const se_basic_node::result_str[17] = {
    "no_result",
    "busy",
    "already_connected",
    "socket_failed",
    "can_not_enable_nonblocking_mode",
    "select_failed",
    "connection_attempt_failed",
    "already_disconnected",
    "shutdown_failed",
    "recv_failed",
    "connection_closed",
    "send_failed",
    "aborted_with_timeout",
    "aborted",
    "success",
    "success_with_overflow",
    "unknown_result",
};

se_basic_node::~se_basic_node() {
    disconnect();
}

const char* se_basic_node::get_job_str(jobs value) {
    return (value >= no_job && value <= _send) ? job_str[value] : job_str[6];
}

const char* se_basic_node::get_result_str(results value) {
    return (value >= no_result && value <= success_with_overflow) ? result_str[value]
                                                                  : result_str[16];
}

std::string se_basic_node::get_ip() const {
    return address_text(addr);
}

unsigned short se_basic_node::get_port() const {
    return address_port(addr);
}

std::uint64_t se_basic_node::get_peer_key() const {
    return address_key(addr);
}

bool se_basic_node::activate_job(jobs new_job, bool again) {
    if (is_job_active || new_job < _connect || new_job > _send) return false;
    last_io_result = 0;
    transferred = 0;
    is_job_active = true;
    activation_time = time(nullptr);
    restart_timeout_clock();
    job = new_job;
    result = busy;
    is_ready_for_job_proc = again;
    ++progress;
    return true;
}

void se_basic_node::end_job(results job_result) {
    is_job_active = false;
    result = job_result;
    ++progress;
    result_proc();
}

// A `_recv` or `_send` that has moved everything it was to move.
void se_basic_node::end_transfer() {
    end_job(to_transfer > buffer_size ? success_with_overflow : success);
}

void se_basic_node::abort_job() {
    if (is_job_active) end_job(aborted);
}

void se_basic_node::close_socket() {
    enable_nonblocking_mode(sock, false);
    close(sock);
    sock = -1;
}

void se_basic_node::disconnect() {
    abort_job();
    if (!is_connected) {
        // A connection attempt still pending owns a socket as well.
        if (sock != -1) close_socket();
        return;
    }
    shutdown(sock, SHUT_RDWR);
    close_socket();
    is_connected = false;
    after_disconnect();
}

// The socket is already closed: end the job, then leave the connected state.
// result_proc() runs in between, while connected() still says true.
void se_basic_node::finish_disconnect(results job_result) {
    end_job(job_result);
    is_connected = false;
    after_disconnect();
}

void se_basic_node::job_proc() {
    is_ready_for_job_proc = false;
    if (!is_job_active) return;
    switch (job) {
        case _connect:
            step_connect();
            break;
        case _shutdown:
            step_shutdown();
            break;
        case _disconnect:
            step_disconnect();
            break;
        case _recv:
            step_recv();
            break;
        case _send:
            step_send();
            break;
        default:
            return;
    }
    check_timeout();
}

// A hook may have started a new job during the step: that one is checked too.
void se_basic_node::check_timeout() {
    if (!has_timeout()) return;  // no clock read on the steps of a node without a limit
    if (ms_until_timeout(monotonic_ns()) == 0) end_job(aborted_with_timeout);
}

void se_basic_node::restart_timeout_clock() {
    if (has_timeout()) timeout_clock_start = monotonic_ns();
}

unsigned long se_basic_node::ms_until_timeout(long long now) const {
    if (!is_job_active || !has_timeout()) return no_deadline;
    const long long ns_per_ms = 1000000;
    long long left = timeout_clock_start + job_timeout * ns_per_ms - now;
    return left <= 0 ? 0 : static_cast<unsigned long>((left + ns_per_ms - 1) / ns_per_ms);
}

// The poll events the running job waits for; 0 without a job; step_at_once
// when its next step needs no readiness.
int se_basic_node::wait_events() const {
    if (!is_job_active) return 0;
    if (via && is_connected && (job == _recv || job == _send)) {
        if (job == _recv && via->pending()) return step_at_once;
        if (transport_wants != 0) return transport_wants;
    }
    switch (job) {
        case _connect:
            return (is_connected || sock == -1) ? step_at_once : POLLOUT;
        case _recv:
            return is_connected ? POLLIN : step_at_once;
        case _send:
            return is_connected ? POLLOUT : step_at_once;
        default:
            return step_at_once;
    }
}

// A node driven by its owner's wait takes what the wait saw; any other node,
// or one whose socket the wait did not ask for `events`, is tested now.
se_basic_node::readiness se_basic_node::readiness_for(short events) {
    if (wait_driven && (known_events & events)) {
        return classify(static_cast<short>(seen_events & (events | POLLERR | POLLHUP | POLLNVAL)));
    }
    return test_readiness(sock, events);
}

// After a call for `events`: a socket that took or gave less than asked has
// no more for now; after anything else nothing is known of `events` (what is
// known of the other direction stays).
void se_basic_node::learn_from_transfer(short events, int moved, int asked) {
    if (!wait_driven) return;
    if (moved >= 0 && moved < asked) {
        known_events = static_cast<short>(known_events | events);
        seen_events = static_cast<short>(seen_events & ~events);
    } else {
        known_events = static_cast<short>(known_events & ~events);
    }
}

void se_basic_node::step_connect() {
    if (is_connected) return end_job(already_connected);
    if (sock == -1) {
        sock = socket(family, type, protocol);
        if (sock == -1) return end_job(socket_failed);
        if (!enable_nonblocking_mode(sock, true)) {
            close(sock);
            sock = -1;
            return end_job(can_not_enable_nonblocking_mode);
        }
        // The outcome shows on later steps, through the readiness test.
        connect(sock, reinterpret_cast<const sockaddr*>(&addr), address_length(addr));
        return;
    }
    readiness state = readiness_for(POLLOUT);
    if (state == readiness::pending) return;
    forget_readiness();
    if (state == readiness::failed || state == readiness::error || connect_failed(sock)) {
        shutdown(sock, SHUT_RDWR);
        close_socket();
        return end_job(state == readiness::failed ? select_failed : connection_attempt_failed);
    }
    end_job(success);
    is_connected = true;
    after_connect();
}

void se_basic_node::step_shutdown() {
    if (!is_connected) return end_job(already_disconnected);
    end_job(shutdown(sock, SHUT_RDWR) == -1 ? shutdown_failed : success);
}

void se_basic_node::step_disconnect() {
    if (!is_connected) return end_job(already_disconnected);
    close_socket();
    finish_disconnect(success);
}

void se_basic_node::step_recv() {
    if (!is_connected) return end_job(already_disconnected);
    if (via) return recv_through_transport();
    readiness state = readiness_for(POLLIN);
    if (state == readiness::failed) return end_job(select_failed);
    if (!worth_a_call(state)) return;

    char* target;
    int length;
    if (transferred < buffer_size) {
        target = buffer + transferred;
        length = std::min(to_transfer, buffer_size) - transferred;
    } else {
        target = discard_buffer;
        length = std::min(static_cast<int>(sizeof discard_buffer), to_transfer - transferred);
    }
    int n = static_cast<int>(recv(sock, target, static_cast<size_t>(std::max(length, 0)), 0));
    last_io_result = n;
    learn_from_transfer(POLLIN, n, length);
    if (n == -1) return end_job(recv_failed);
    if (n == 0) {
        close_socket();
        return finish_disconnect(connection_closed);
    }
    transferred += n;
    ++progress;
    if (transferred == to_transfer || partial_recv) {
        end_transfer();
    } else if (wait_driven) {
        // The hooks look at what arrived at the start of a step: give them one now.
        is_ready_for_job_proc = true;
    }
}

void se_basic_node::step_send() {
    if (!is_connected) return end_job(already_disconnected);
    if (via) {
        if (!transport_ready()) return;
        const int length = std::min(to_transfer, buffer_size) - transferred;
        // The last piece may still be on its way when the file has no more.
        if (length <= 0 && (file_tail_pending() || tail_piece > 0)) {
            return send_file_piece_through_transport();
        }
        return send_through_transport(buffer + transferred,
                                      static_cast<size_t>(std::max(length, 0)), false);
    }
    readiness state = readiness_for(POLLOUT);
    if (state == readiness::failed) return end_job(select_failed);
    if (!worth_a_call(state)) return;

    int length = std::min(to_transfer, buffer_size) - transferred;
    if (length <= 0 && file_tail_pending()) return send_file_piece();
    // MSG_NOSIGNAL: a peer that has reset the connection gives send_failed, not SIGPIPE.
    // MSG_MORE before a file tail: the header waits for the body's first bytes
    // instead of leaving alone in a short segment, whose acknowledgement a
    // client may delay by tens of milliseconds.
    const int flags = MSG_NOSIGNAL | (file_tail_pending() ? MSG_MORE : 0);
    int n = static_cast<int>(
        send(sock, buffer + transferred, static_cast<size_t>(std::max(length, 0)), flags));
    last_io_result = n;
    learn_from_transfer(POLLOUT, n, length);
    if (n == -1) return end_job(send_failed);
    if (n > 0) ++progress;
    buffered_bytes_sent(n);
}

void se_basic_node::buffered_bytes_sent(int moved) {
    transferred += moved;
    if (transferred == to_transfer || transferred == buffer_size) {
        // The file tail follows on the next steps, its limit counted from here.
        if (file_tail_pending()) {
            restart_timeout_clock();
            return;
        }
        end_transfer();
    }
}

// One sendfile() call. Asking for the whole rest lets the socket take what it
// has room for; a shorter result means it is full for now. A node driven by
// its owner's wait asks for a bounded piece while other sockets were ready
// too: the poll round goes on to them, and a small answer does not wait
// behind megabytes of large ones (the next round comes at once while the
// socket has room). Alone, it moves what the socket takes: smaller pieces
// would only cost calls.
void se_basic_node::send_file_piece() {
    const off_t largest_piece = wait_driven && shares_the_round ? file_piece_bytes : off_t{1} << 30;
    int length = static_cast<int>(std::min(send_file_remaining, largest_piece));
    ssize_t n = sendfile(sock, send_file_fd, &send_file_offset, static_cast<size_t>(length));
    last_io_result = static_cast<int>(n);
    learn_from_transfer(POLLOUT, last_io_result, length);
    if (n <= 0) return end_job(send_failed);  // 0: the file ended before its range
    send_file_remaining -= n;
    ++progress;
    restart_timeout_clock();
    if (send_file_remaining == 0) {
        end_transfer();
    }
}

// A transport names the readiness it needs (a TLS receive may need to
// write); decrypted bytes waiting inside it need none.
bool se_basic_node::transport_ready() {
    const short wanted = transport_wants != 0 ? transport_wants
                                              : static_cast<short>(job == _recv ? POLLIN : POLLOUT);
    if (job == _recv && via->pending()) return true;
    readiness state = readiness_for(wanted);
    if (state == readiness::failed) {
        end_job(select_failed);
        return false;
    }
    return worth_a_call(state);
}

// After a transport's call: what it waits for, if anything. What the last
// wait saw of the socket is stale either way.
bool se_basic_node::transport_waits(transport::outcome outcome) {
    forget_readiness();
    transport_wants = outcome == transport::outcome::want_read    ? POLLIN
                      : outcome == transport::outcome::want_write ? POLLOUT
                                                                  : 0;
    return transport_wants != 0;
}

void se_basic_node::recv_through_transport() {
    if (!transport_ready()) return;
    char* target;
    size_t length;
    if (transferred < buffer_size) {
        target = buffer + transferred;
        length = static_cast<size_t>(std::min(to_transfer, buffer_size) - transferred);
    } else {
        target = discard_buffer;
        length = static_cast<size_t>(
            std::min(static_cast<int>(sizeof discard_buffer), to_transfer - transferred));
    }
    size_t moved = 0;
    const transport::outcome outcome =
        via->receive(sock, target, std::max<size_t>(length, 1), &moved);
    if (transport_waits(outcome)) return;
    if (outcome == transport::outcome::closed) {
        close_socket();
        return finish_disconnect(connection_closed);
    }
    if (outcome == transport::outcome::failed) {
        last_io_result = -1;
        return end_job(recv_failed);
    }
    last_io_result = static_cast<int>(moved);
    transferred += static_cast<int>(moved);
    ++progress;
    if (transferred == to_transfer || partial_recv) {
        end_transfer();
    } else if (wait_driven || via->pending()) {
        is_ready_for_job_proc = true;
    }
}

// `tail`: the bytes are a piece of the file tail, sent from `buffer`. A TLS
// write moves one record at a time: the calls go on until the bytes are gone
// or the socket is full, as one plain send would, since a poll between
// records would cost as much as the record.
void se_basic_node::send_through_transport(const char* data, size_t length, bool tail) {
    size_t moved = 0;
    transport::outcome outcome;
    do {
        size_t now = 0;
        outcome = via->send(sock, data + moved, length - moved, &now);
        moved += now;
        if (now == 0) break;
    } while (outcome == transport::outcome::moved && moved < length);
    const bool waits = transport_waits(outcome);
    if (moved == 0 && waits) return;
    if (outcome != transport::outcome::moved && !waits) {
        last_io_result = -1;
        return end_job(send_failed);
    }
    last_io_result = static_cast<int>(moved);
    ++progress;
    if (tail) {
        tail_piece_sent += moved;
        if (tail_piece_sent < tail_piece) return;
        tail_piece = tail_piece_sent = 0;
        restart_timeout_clock();
        if (send_file_remaining == 0) end_transfer();
        return;
    }
    buffered_bytes_sent(static_cast<int>(moved));
}

// The buffered part is gone by now: the buffer takes the next piece of the
// file, which is sent from there until all of it has gone. Pieces follow each
// other in one step until the socket is full (a poll between records would
// cost as much as the record), or until `file_piece_bytes` have gone while
// other sockets were ready too, four times that alone: a client that reads
// as fast as the records are made never keeps the loop from new ones.
void se_basic_node::send_file_piece_through_transport() {
    const off_t budget = wait_driven && shares_the_round ? file_piece_bytes : 4 * file_piece_bytes;
    const off_t left_before = send_file_remaining;
    do {
        send_transport_piece();
    } while (result == busy && tail_piece == 0 && send_file_remaining > 0 &&
             left_before - send_file_remaining < budget);
}

void se_basic_node::send_transport_piece() {
    if (tail_piece == 0) {
        const size_t room =
            std::min(static_cast<size_t>(std::max(buffer_size, 1)), transport_piece_bytes);
        const size_t want =
            static_cast<size_t>(std::min<off_t>(send_file_remaining, static_cast<off_t>(room)));
        const ssize_t n = pread(send_file_fd, buffer, want, send_file_offset);
        if (n <= 0) {
            last_io_result = 0;
            return end_job(send_failed);  // the file ended before its range
        }
        tail_piece = static_cast<size_t>(n);
        tail_piece_sent = 0;
        send_file_offset += n;
        send_file_remaining -= n;
    }
    send_through_transport(buffer + tail_piece_sent, tail_piece - tail_piece_sent, true);
}

void step_node(se_basic_node& node) {
    do {
        node.before_job_proc();
        node.job_proc();
    } while (node.ready_for_job_proc());
}

bool prepare_server_node(se_basic_node* node, int accepted_sock, sockaddr_in peer) {
    sockaddr_storage storage{};
    memcpy(&storage, &peer, sizeof peer);
    return prepare_server_node(node, accepted_sock, storage);
}

bool prepare_server_node(se_basic_node* node, int accepted_sock, const sockaddr_storage& peer) {
    if (node->is_connected) return false;
    node->sock = accepted_sock;
    node->addr = peer;
    node->is_connected = true;
    return true;
}

// ---------------------------------------------------------------------------

const char* const se_server::error_str[9] = {
    "no_error",
    "socket_failed",
    "bind_failed",
    "listen_failed",
    "can_not_enable_nonblocking_mode",
    "accept_failed",
    "can_not_enable_nonblocking_mode_on_accepted_socket",
    "select_failed",
    "unknown_error",
};

se_server::~se_server() {
    deactivate();
}

const char* se_server::get_error_str(errors value) {
    return (value >= no_error && value <= select_failed) ? error_str[value] : error_str[8];
}

std::string se_server::get_ip() const {
    return address_text(addr);
}

unsigned short se_server::get_port() const {
    return address_port(addr);
}

bool se_server::prepare(int new_family, int new_type, int new_protocol, const char* ip,
                        unsigned short port) {
    if (is_active) return false;
    family = new_family;
    type = new_type;
    protocol = new_protocol;
    addr = make_address(new_family, ip, port);
    return true;
}

bool se_server::activate(bool listen_too) {
    if (is_active) return false;
    sock = socket(family, type, protocol);
    if (sock == -1) {
        after_error(socket_failed);
        return false;
    }
    errors failure = no_error;
    if (!enable_nonblocking_mode(sock, true)) {
        failure = can_not_enable_nonblocking_mode;
    } else if (!bind_listening_socket(sock, addr, port_shared)) {
        failure = bind_failed;
    } else if (listen_too && listen(sock, 128) == -1) {
        failure = listen_failed;
    }
    if (failure != no_error) {
        close(sock);
        sock = -1;
        after_error(failure);
        return false;
    }
    is_active = true;
    return true;
}

bool se_server::share_port(bool on) {
    if (is_active) return false;
    port_shared = on;
    return true;
}

void se_server::deactivate() {
    if (!is_active) return;
    for (se_server_node* node : nodes) {
        node->disconnect();
        delete node;
    }
    nodes.clear();
    wait_fresh = false;
    enable_nonblocking_mode(sock, false);
    close(sock);
    sock = -1;
    is_active = false;
}

void se_server::job_proc() {
    progressed = false;
    if (is_active) {
        if (!listener_resting) {
            readiness state = connection_pending();
            if (state == readiness::failed) {
                after_error(select_failed);
            } else if (state != readiness::pending) {
                accept_one();
            }
        }
        step_nodes();
    }
    wait_fresh = false;
}

readiness se_server::connection_pending() {
    if (wake_on_io && wait_fresh && wait_set[0].fd != -1) return classify(wait_set[0].revents);
    return test_readiness(sock, POLLIN);
}

bool se_server::wait(unsigned long milliseconds) {
    bool listening = is_active && !listener_resting;
    bool at_once = false;
    unsigned long until_timeout = se_basic_node::no_deadline;
    const long long now = monotonic_ns();
    wait_set.clear();
    wait_set.push_back(pollfd{listening ? sock : -1, POLLIN, 0});
    wait_set.push_back(pollfd{wakeup, POLLIN, 0});
    for (se_server_node* node : nodes) {
        int events = node->wait_events();
        if (events == step_at_once) at_once = true;
        bool waited_on = events > 0;
        wait_set.push_back(
            pollfd{waited_on ? node->sock : -1, static_cast<short>(waited_on ? events : 0), 0});
        until_timeout = std::min(until_timeout, node->ms_until_timeout(now));
    }
    // A job's time limit comes first: the wait ends there, with work to do.
    bool timeout_first =
        until_timeout != se_basic_node::no_deadline && until_timeout <= milliseconds;
    unsigned long wait_ms = at_once ? 0 : std::min(milliseconds, until_timeout);
    int limit = static_cast<int>(std::min<unsigned long>(wait_ms, INT_MAX));
    int n = poll(wait_set.data(), wait_set.size(), limit);
    // A signal ends the wait at once: its handler noted it for the owner.
    if (n < 0 && errno == EINTR) return true;
    wait_fresh = n >= 0;
    const bool woken = n > 0 && wait_set[1].revents != 0;
    if (woken) {
        drain_wakeup();
        --n;
    }
    ready_in_wait = std::max(n, 0);
    if (n < 0) {
        // Nothing learned; pausing keeps a lasting failure from becoming a busy loop.
        if (!at_once) Sleep(wait_ms);
        return at_once || timeout_first;
    }
    // It ran its full time.
    if (n == 0 && limit > 0 && !timeout_first && !woken) listener_resting = false;
    return at_once || n > 0 || timeout_first || woken;
}

void se_server::drain_wakeup() {
    char discarded[64];
    while (read(wakeup, discarded, sizeof discarded) > 0) {
    }
}

void se_server::set_wake_on_io(bool on) {
    wake_on_io = on;
    listener_resting = false;
    for (se_server_node* node : nodes)
        node->wait_driven = on;
}

void se_server::accept_one() {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    int accepted = accept(sock, reinterpret_cast<sockaddr*>(&peer), &length);
    if (accepted == -1) {
        listener_resting = wake_on_io;
        return after_error(accept_failed);
    }
    progressed = true;
    if (!enable_nonblocking_mode(accepted, true)) {
        close(accepted);
        return after_error(can_not_enable_nonblocking_mode_on_accepted_socket);
    }
    adopt(accepted, peer);
}

// The factory is not trusted blindly: without a usable node the connection is closed.
void se_server::adopt(int accepted_sock, const sockaddr_storage& peer) {
    se_server_node* node = new_node();
    if (node == nullptr || !prepare_server_node(node, accepted_sock, peer)) {
        delete node;
        enable_nonblocking_mode(accepted_sock, false);
        close(accepted_sock);
        return;
    }
    node->wait_driven = wake_on_io;
    nodes.push_back(node);
    node->after_connect();
}

// What the wait saw is handed to each node just before its step, in the
// order the wait listed the nodes (a node accepted since comes last and gets
// nothing), and holds for that step only: a later poll tests again.
void se_server::step_nodes() {
    auto entry = wake_on_io && wait_fresh ? wait_set.begin() + 2 : wait_set.end();
    for (auto it = nodes.begin(); it != nodes.end();) {
        se_server_node* node = *it;
        if (entry != wait_set.end()) {
            node->learn(entry->fd == -1 ? 0 : entry->events, entry->revents);
            node->shares_the_round = ready_in_wait > (entry->revents != 0 ? 1 : 0);
            ++entry;
        } else {
            node->shares_the_round = false;
        }
        unsigned long progress_before = node->progress;
        step_node(*node);
        node->forget_readiness();
        if (node->progress != progress_before) progressed = true;
        if (node->connected()) {
            ++it;
        } else {
            delete node;
            it = nodes.erase(it);
            progressed = true;
            listener_resting = false;  // its descriptor is free again
        }
    }
}

// ---------------------------------------------------------------------------

bool prepare_client_node(se_basic_node* node, int family, int type, int protocol, const char* ip,
                         unsigned short port) {
    if (node->is_connected) return false;
    node->family = family;
    node->type = type;
    node->protocol = protocol;
    node->addr = make_address(family, ip, port);
    return true;
}

bool se_client_node::prepare(int new_family, int new_type, int new_protocol, const char* ip,
                             unsigned short port) {
    return prepare_client_node(this, new_family, new_type, new_protocol, ip, port);
}

se_client::~se_client() {
    disconnect();
    delete_all_nodes();
}

void se_client::add_node(se_client_node* node) {
    nodes.push_back(node);
}

void se_client::job_proc() {
    for (se_client_node* node : nodes)
        step_node(*node);
}

void se_client::disconnect() {
    for (se_client_node* node : nodes)
        node->disconnect();
}

void se_client::delete_all_nodes() {
    for (se_client_node* node : nodes)
        delete node;
    nodes.clear();
}
