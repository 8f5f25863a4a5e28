#include "app/connection.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "engine/platform.h"
#include "engine/tls_transport.h"
#include "http/forwarded.h"

int simple_server_node::max_a_counter = 3;

namespace {

// The start of the response buffer that stays resident: every short answer
// and small file is written there, and would otherwise fault its pages in
// again (several microseconds a page on a virtual machine).
const uintptr_t kept_answer_bytes = 4096;

// How long the receives of an upload's body may follow each other in one poll.
const long long body_chain_ns = 5000000;

// The largest piece of a generated body sent at once, and the least room in
// which one is made behind other answers (a response buffer smaller than that
// is used whole).
const int generated_piece_max = 256 * 1024;
const int min_generated_room = 4096;

// The largest piece of a body that is thrown away that one job reads.
const int discard_piece = 256 * 1024;

// How long a connection that closes after an early answer reads what the
// client still sends, without a job_timeout.
const unsigned int drain_ms = 2000;

long long monotonic_ms() {
    return monotonic_ns() / 1000000;
}

}  // namespace

simple_server_node::simple_server_node(const site_policy* site, site_services* services)
    : site(site),
      services(services),
      in_size(site->sizeof_in),
      in_buf(new (std::nothrow) char[static_cast<size_t>(site->sizeof_in)]),
      out_size(site->sizeof_out),
      out_buf(new (std::nothrow) char[static_cast<size_t>(site->sizeof_out)]),
      log(site->log_form, *this) {
    buffer_size = in_size;
    buffer = in_buf;
    if (site->job_timeout > 0) job_timeout = site->job_timeout;
}

simple_server_node::~simple_server_node() {
    disconnect();
    // A freed buffer may stay in the heap for the next node: not resident.
    if (answer_pages_resident) release_answer_pages();
    delete[] in_buf;
    delete[] out_buf;
}

// ---------------------------------------------------------------------------
// The response buffer's pages

// Only whole pages inside the buffer: their contents become zeros when next
// touched, which no answer relies on.
void simple_server_node::release_answer_pages() {
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t start = reinterpret_cast<uintptr_t>(out_buf);
    const uintptr_t first = (start + kept_answer_bytes + page - 1) / page * page;
    const uintptr_t end = (start + static_cast<uintptr_t>(out_size)) / page * page;
    if (first < end) madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED);
    answer_pages_resident = false;
}

// A connection that asks again within the second keeps its pages: giving
// them back after every large answer would fault them in again for the next.
void simple_server_node::release_idle_answer_pages() {
    if (!answer_pages_resident || (now != state::receiving && now != state::draining)) return;
    if (!job_active() || get_job() != _recv) return;
    // Whole seconds: a difference of 2 is at least one full second.
    if (difftime(time(nullptr), job_activation_time()) < 2) return;
    release_answer_pages();
}

// ---------------------------------------------------------------------------
// receiving

void simple_server_node::after_connect() {
    set_origin(&login, addr, addr);
    if (site->proxy_protocol) return await_proxy_header();
    log.connected(login.client);
    start_receiving(nullptr, 0);
}

// ---------------------------------------------------------------------------
// The PROXY header

// Only a trusted proxy may name the client; from anyone else the header
// would let a client pass for another. Nothing is logged as connected until
// the header names who is.
void simple_server_node::await_proxy_header() {
    log.client_is(login.client);
    if (!address_listed(site->trusted_proxies, addr)) {
        log.connected(login.client);
        log.notice("refused: a PROXY header is taken from trusted proxies only");
        return disconnect();
    }
    awaiting_proxy_header = true;
    scan = group_scan();
    carried = 0;
    partial_recv = false;
    buffer = in_buf;
    buffer_size = to_transfer = in_size;
    activate_job(_recv, true);
}

void simple_server_node::read_proxy_header_received() {
    const int length = received();
    const proxy_header header = read_proxy_header(reinterpret_cast<const unsigned char*>(in_buf),
                                                  static_cast<size_t>(length));
    if (header.state == proxy_header_state::incomplete) return;
    if (header.state == proxy_header_state::malformed) {
        log.connected(login.client);
        log.notice("refused: the connection does not begin with a PROXY header");
        return disconnect();
    }
    abort_job();  // quietly: the header is no job of the log's
    awaiting_proxy_header = false;
    if (header.names_client) set_origin(&login, addr, header.client);
    log.connected(login.client);
    start_receiving(in_buf + header.length, length - static_cast<int>(header.length));
}

// A receive that ended while the header was awaited: the peer went, the
// job failed, or the buffer filled (with a header and what followed it, or
// without one).
void simple_server_node::proxy_header_job_ended() {
    const results result = get_result();
    if (result == aborted || result == connection_closed) return;
    if (result != success) return close_for(get_result_str(result));
    read_proxy_header_received();
    if (awaiting_proxy_header && connected()) close_for("receive buffer full");
}

void simple_server_node::start_receiving(const char* begin, int length) {
    now = state::receiving;
    scan = group_scan();
    carried = length;
    if (length > 0 && begin != in_buf) memmove(in_buf, begin, static_cast<size_t>(length));
    partial_recv = false;
    buffer_size = in_size - carried;
    buffer = in_buf + carried;
    to_transfer = buffer_size;
    if (buffer_size == 0) {
        // The carried bytes fill the buffer: a group, or nothing more can come.
        frame_received();
        if (now == state::receiving) close_for("receive buffer full");
        return;
    }
    log.job_activated(activate_job(_recv, true));
}

void simple_server_node::before_job_proc() {
    if (now == state::deciding && decision_waits_for->done()) {
        decision_waits_for.reset();
        answer_on(decide_from);
    }
    release_idle_answer_pages();
    if (!tls_told && get_transport() != nullptr) tell_tls();
    if (now == state::receiving && job_active() && get_job() == _recv) frame_received();
}

void simple_server_node::frame_received() {
    if (awaiting_proxy_header) return read_proxy_header_received();
    const group_frame frame = frame_group(in_buf, received(), &scan);
    if (frame != group_frame::incomplete) answer_received_group(frame);
}

void simple_server_node::answer_received_group(group_frame frame) {
    // The group without its closing empty line; a head that announces a body
    // is logged with whatever followed it, unless that is an upload's body.
    const int length = received();
    const bool body_follows = frame == group_frame::body_follows;
    const int logged =
        body_follows && site->upload ? scan.body_head_end - 2 : length - (body_follows ? 0 : 2);
    log.group_received(std::string_view(in_buf, static_cast<size_t>(logged)));
    abort_job();  // the receive job, unless the buffer has already ended it
    group_end = in_buf + length;
    answer_request_group(in_buf);
}

// ---------------------------------------------------------------------------
// Answering a group

decision_context simple_server_node::context() const {
    return decision_context{*site, *services, monotonic_ms()};
}

void simple_server_node::answer_request_group(char* current) {
    to_transfer = 0;
    close_after_send = false;
    group_rest = next_group = nullptr;
    next_group_length = 0;
    unread_body = 0;
    answer_on(current);
}

// `to_transfer` counts the answers written so far: no job runs meanwhile.
void simple_server_node::answer_on(char* current) {
    now = state::sending;
    char* write_pos = out_buf + to_transfer;
    int room = out_size - to_transfer;

    while (current != group_end) {
        char* next = nullptr;
        answer a = respond(context(), &login, current, group_end, &next);
        log.client_is(login.client);
        if (a.what == answer::kind::close) return close_for("request not served");
        if (a.what == answer::kind::waiting) {
            now = state::deciding;
            decision_waits_for = std::move(a.wait_for);
            decide_from = current;
            return;
        }
        log_decision(a);
        // The rest of the group is the request's body.
        if (a.what == answer::kind::body) return take_body(std::move(a), next);

        written w;
        // The response buffer is full.
        if (!write_logged(a, write_pos, room, &w)) return close_for("response buffer full");

        write_pos += w.length;
        room -= w.length;
        to_transfer += w.length;
        current = next;
        close_after_send = close_after_send || a.close_after_send || a.last_of_group;
        const long long body_unread = a.body_unread;
        const bool last = a.last_of_group;
        // The body follows the header from the file, or as it is made.
        if (w.body_from_file) send_body_from(std::move(a));
        if (w.body_generated) {
            generating = std::move(a.source);
            generating_chunked = a.chunked;
        }
        if (body_unread != 0) {
            skip_unread_body(body_unread, next);
            break;
        }
        if (last) break;
        if (w.body_from_file || w.body_generated) {
            // The rest of the group is answered once the body has been sent.
            if (current != group_end && !close_after_send) group_rest = current;
            break;
        }
    }
    send_with_first_piece(to_transfer);
}

// Sends the `length` bytes of answers written; the first piece of a
// generated body goes with its header.
void simple_server_node::send_with_first_piece(int length) {
    if (generating) {
        const int piece = next_generated_piece(out_buf + length, out_size - length);
        if (piece < 0) return close_for("the body could not be made");
        length += piece;
    }
    send_answers(length);
}

// Writes the next piece of the generated body at `at`, as a chunk when it
// goes in chunks; its length, or -1 when the source cannot go on. Once the
// source is complete (and the last chunk written), `generating` goes.
int simple_server_node::next_generated_piece(char* at, int room) {
    // "%08x\r\n" before a chunk's bytes, "\r\n" after them, or the last
    // chunk "0\r\n\r\n".
    const int framing = generating_chunked ? 12 : 0;
    room = std::min(room, generated_piece_max);
    const int least = std::min(min_generated_room + framing, out_size);
    if (room < least || room <= framing) return 0;  // the next send makes room
    char* data = at + (generating_chunked ? 10 : 0);
    const long long made = generating->produce(data, static_cast<size_t>(room - framing));
    if (made < 0) return -1;
    const file_range range = generating->take_file_range();
    if (range.length > 0) {
        // A source of known length, so never in chunks: the range follows
        // the piece as the send's file tail.
        send_file_fd = range.fd;
        send_file_offset = range.offset;
        send_file_remaining = range.length;
        return static_cast<int>(made);
    }
    if (made == 0) {
        generating.reset();
        if (!generating_chunked) return 0;
        memcpy(at, "0\r\n\r\n", 5);
        return 5;
    }
    if (!generating_chunked) return static_cast<int>(made);
    char size_line[17];
    snprintf(size_line, sizeof size_line, "%08llx", made);
    memcpy(at, size_line, 8);
    memcpy(at + 8, "\r\n", 2);
    memcpy(data + made, "\r\n", 2);
    return static_cast<int>(made) + framing;
}

void simple_server_node::send_generated_piece() {
    const int piece = next_generated_piece(out_buf, out_size);
    if (piece < 0) return close_for("the body could not be made");
    if (piece == 0 && send_file_remaining == 0) {
        // A buffer too small for a piece can never send one.
        if (generating) return close_for("response buffer full");
        return after_answers_sent();
    }
    send_answers(piece);
}

// The body's first bytes came with the group: they are thrown away now, and
// what came behind the body is the next group's start.
void simple_server_node::skip_unread_body(long long length, char* next) {
    unread_body = length;
    const long long here = group_end - next;
    if (unread_body < 0) return;
    if (unread_body > here || close_after_send) {
        unread_body = std::max(unread_body - here, 1LL);
        return;
    }
    next_group = next + unread_body;
    next_group_length = static_cast<int>(group_end - next_group);
    unread_body = 0;
}

void simple_server_node::log_decision(const answer& a) {
    if (a.event != nullptr && a.event_for_every_log) {
        log.notice(a.event);
    } else if (a.event != nullptr) {
        log.event(a.event);
    }
    if (a.failed_login) log.failed_login();
    if (!a.notice.empty()) log.notice(a.notice.c_str());
}

bool simple_server_node::write_logged(const answer& a, char* pos, int room, written* w) {
    *w = write_answer(context(), a, pos, room);
    if (w->length < 0) return false;
    if (!w->file_served) log.event("error detected");
    request_record record;
    record.request_line = a.request_line;
    record.referer = a.referer;
    record.user_agent = a.user_agent;
    if (login.authorized) record.user = login.user;
    record.status = atoi(pos + sizeof "HTTP/1.1 " - 1);
    record.body_bytes =
        w->body_from_file ? static_cast<long long>(a.body_length) : w->length - w->header_length;
    // The header without its closing empty line.
    log.answer(std::string_view(pos, static_cast<size_t>(w->header_length - 2)), record);
    return true;
}

void simple_server_node::send_answers(int length) {
    now = state::sending;
    to_transfer = length;
    buffer_size = out_size;
    buffer = out_buf;
    log.job_activated(activate_job(_send, false));
}

void simple_server_node::send_body_from(answer a) {
    body_file = std::move(a.file);
    send_file_fd = body_file.get();
    send_file_offset = a.body_offset;
    send_file_remaining = a.body_length;
}

void simple_server_node::end_body_from_file() {
    body_file.reset();
    send_file_fd = -1;
    send_file_remaining = 0;
}

void simple_server_node::after_answers_sent() {
    if (generating) return send_generated_piece();
    if (deferred_answer) return send_deferred_answer();
    if (close_after_send) {
        if (unread_body != 0) return start_draining();
        return disconnect();
    }
    if (body) return go_on_with_body();
    if (group_rest != nullptr) return answer_request_group(group_rest);
    if (unread_body > 0) return start_discarding();
    start_receiving(next_group, next_group_length);
}

// ---------------------------------------------------------------------------
// Job results

void simple_server_node::result_proc() {
    if (awaiting_proxy_header) return proxy_header_job_ended();
    if (get_job() == _send && static_cast<uintptr_t>(to_transfer) > kept_answer_bytes) {
        answer_pages_resident = true;
    }
    log.job_finished();
    if (get_job() == _send) {
        // A send that ran out of file has sent fewer bytes than it announced.
        if (get_result() == send_failed && send_file_remaining > 0 && last_io_result == 0) {
            log.notice("file ended before its announced length");
        }
        end_body_from_file();
    }
    const results result = get_result();
    // A TLS client that goes away in the middle of a request without a
    // close_notify has cut it short; after a whole exchange it just left.
    if (result == connection_closed && now == state::receiving && received() > 0) {
        const auto* tls = dynamic_cast<const tls_transport*>(get_transport());
        if (tls != nullptr && tls->closed_without_notify()) {
            log.notice("tls failed: a request was cut short without a close_notify");
        }
    }
    if (result == aborted || result == connection_closed) return;  // the engine closes itself
    if (result == recv_failed && get_transport() != nullptr) return refuse_outside_tls();
    const bool done = result == success;
    if (!done) return close_for(get_result_str(result));
    if (get_job() == _send) return after_answers_sent();
    switch (now) {
        case state::taking_body: {
            // What came behind a chunked body is the next group's start.
            const size_t taken = body->take(in_buf, static_cast<size_t>(transferred));
            next_group = in_buf + taken;
            next_group_length = transferred - static_cast<int>(taken);
            return go_on_with_body();
        }
        case state::discarding:
            unread_body -= transferred;
            if (unread_body > 0) return receive_to_discard(unread_body);
            return start_receiving(nullptr, 0);
        case state::draining:
            return drain_on();
        case state::receiving: {
            // The receive buffer filled up before a request group was complete,
            // unless an upload's head came with the start of its body: a client
            // that does not wait for "100 Continue" sends both at once, and the
            // body is read through the buffer, not into it.
            const group_frame frame = frame_group(in_buf, received(), &scan);
            if (site->upload && frame == group_frame::body_follows) {
                return answer_received_group(frame);
            }
            return close_for("receive buffer full");
        }
        default:
            return disconnect();
    }
}

// Once per connection, when its handshake is done: what was agreed.
void simple_server_node::tell_tls() {
    const auto* tls = dynamic_cast<const tls_transport*>(get_transport());
    if (tls == nullptr || !tls->handshake_done()) return;
    tls_told = true;
    log.notice("tls: ", tls->version_and_cipher());
}

// A TLS receive that failed: a client that spoke plain HTTP to the TLS port
// is told so in plain HTTP; a handshake that failed is logged with its reason.
void simple_server_node::refuse_outside_tls() {
    const auto* tls = dynamic_cast<const tls_transport*>(get_transport());
    if (tls != nullptr && tls->plain_request()) {
        static const char told[] =
            "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 49\r\n"
            "Connection: close\r\n\r\nThis server speaks HTTPS only: use https:// URLs\n";
        log.notice("tls refused: a plain HTTP request");
        // Best effort: a short answer that the socket takes at once.
        send(sock, told, sizeof told - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        shutdown(sock, SHUT_WR);
        return disconnect();
    }
    log.notice("tls failed: ", get_transport()->reason());
    disconnect();
}

void simple_server_node::close_for(const char* reason) {
    log.closed_by(reason);
    disconnect();
}

void simple_server_node::after_disconnect() {
    // A body cut off here leaves nothing behind.
    body.reset();
    log.disconnected();
}

// ---------------------------------------------------------------------------
// Bodies: taken by an upload, discarded, or drained before the close

void simple_server_node::take_body(answer a, char* next) {
    // Nothing is stored for a request whose answer could never fit the
    // response buffer: the client would never learn that it was.
    const size_t answer_room = 256 + 3 * a.request_line.size();
    if (static_cast<size_t>(out_size) < answer_room) return close_for("response buffer full");
    body = std::make_unique<body_reader>(std::move(a.body), a.body_bytes,
                                         static_cast<long long>(site->upload_max));
    // The receive buffer is overwritten by the body before the answer is logged.
    body_request = {std::string(a.request_line), std::string(a.referer), std::string(a.user_agent)};
    close_after_send = close_after_send || a.close_after_send;
    answered_length = to_transfer;
    const size_t taken = body->take(next, static_cast<size_t>(group_end - next));
    // Whatever came behind the whole body is the next group's start.
    next_group = next + taken;
    next_group_length = static_cast<int>(group_end - next_group);
    if (a.continue_first && taken == 0 && body->current() == body_reader::state::receiving) {
        // The client waits for this before it sends the body; the answers of
        // the group before the request go with it.
        static const char go_on[] = "HTTP/1.1 100 Continue\r\n\r\n";
        const int length = static_cast<int>(sizeof go_on - 1);
        if (out_size - answered_length < length) return disconnect();
        memcpy(out_buf + answered_length, go_on, static_cast<size_t>(length));
        log.interim_answer(std::string_view(go_on, static_cast<size_t>(length - 2)));
        const int sent = answered_length + length;
        answered_length = 0;
        return send_answers(sent);
    }
    go_on_with_body();
}

// The body arrives in receives of whatever the client sends, each taken at
// once: the receive buffer never holds more than one of them, and never a
// byte beyond the body.
void simple_server_node::go_on_with_body() {
    if (body->current() == body_reader::state::receiving) {
        now = state::taking_body;
        partial_recv = true;
        buffer = in_buf;
        buffer_size = in_size;
        const long long missing = body->missing();
        to_transfer =
            missing < 0 ? in_size : static_cast<int>(std::min<long long>(in_size, missing));
        // The receives of a body follow each other within a poll for a few
        // milliseconds at most: another client never waits long for a
        // large form (each piece may create files), and a body that comes
        // fast is taken fast.
        const long long now_ns = monotonic_ns();
        if (!body_chain_running) body_chain_started_ns = now_ns;
        body_chain_running = now_ns - body_chain_started_ns < body_chain_ns;
        log.job_activated(activate_job(_recv, body_chain_running));
        return;
    }
    partial_recv = false;
    answer a = body_answer();
    a.request_line = body_request.line;
    a.referer = body_request.referer;
    a.user_agent = body_request.user_agent;
    log_decision(a);
    // A body that was not taken whole closes the connection: what is left of
    // it is drained.
    if (body->current() != body_reader::state::ended) {
        unread_body = body->missing();
        a.last_of_group = true;
    }
    body.reset();
    written w;
    if (!write_logged(a, out_buf + answered_length, out_size - answered_length, &w)) {
        if (answered_length == 0) return close_for("response buffer full");
        // The answers before it fill the buffer: they go first, then this one.
        deferred_answer = std::make_unique<answer>(std::move(a));
        const int sent = answered_length;
        answered_length = 0;
        return send_answers(sent);
    }
    close_after_send = close_after_send || a.last_of_group || a.close_after_send;
    // An answer made as it is sent (a WebDAV multistatus) follows its header.
    if (w.body_generated) {
        generating = std::move(a.source);
        generating_chunked = a.chunked;
    }
    send_with_first_piece(answered_length + w.length);
}

void simple_server_node::send_deferred_answer() {
    const std::unique_ptr<answer> a = std::move(deferred_answer);
    written w;
    if (!write_logged(*a, out_buf, out_size, &w)) return close_for("response buffer full");
    close_after_send = close_after_send || a->last_of_group;
    send_answers(w.length);
}

// What answers the request once its body has ended or was refused: the
// taker, unless the chunks themselves were not a body or too large.
answer simple_server_node::body_answer() {
    const body_reader::state read = body->current();
    if (read != body_reader::state::malformed && read != body_reader::state::too_large) {
        return body->taker().result(context());
    }
    const bool large = read == body_reader::state::too_large;
    answer a = status_answer(large ? status_413 : status_400, "Connection: close\r\n");
    a.body_text = large ? "the body is larger than upload_max" : body->reason();
    a.notice = "body refused: " + a.body_text;
    return a;
}

// The response buffer holds nothing unsent while a body is thrown away: its
// first piece takes the body, a few system calls per megabyte instead of
// one per 2 KiB of the engine's own discarding, and its pages go back once
// the connection is idle again.
void simple_server_node::receive_to_discard(long long bytes) {
    buffer = out_buf;
    buffer_size = std::min(out_size, discard_piece);
    partial_recv = false;
    to_transfer = static_cast<int>(std::min<long long>(bytes, buffer_size));
    if (static_cast<uintptr_t>(to_transfer) > kept_answer_bytes) answer_pages_resident = true;
    log.job_activated(activate_job(_recv, true));
}

void simple_server_node::start_discarding() {
    now = state::discarding;
    receive_to_discard(unread_body);
}

// Closing at once would leave the client's unread body in our socket, and the
// kernel would answer it with a reset that can destroy the answer before the
// client reads it.
void simple_server_node::start_draining() {
    now = state::draining;
    if (transport* tls = get_transport()) {
        tls->shut_down_sending(sock);
    } else {
        shutdown(sock, SHUT_WR);
    }
    const unsigned int limit_ms = site->job_timeout > 0 ? site->job_timeout : drain_ms;
    drain_ends_ns = monotonic_ns() + static_cast<long long>(limit_ms) * 1000000;
    drained = 0;
    transferred = 0;
    drain_on();
}

// The whole drain, whatever its pieces, reads at most upload_max bytes within
// the time limit of one job.
void simple_server_node::drain_on() {
    if (unread_body > 0) unread_body -= transferred;
    drained += transferred;
    const long long left_ms = (drain_ends_ns - monotonic_ns()) / 1000000;
    const long long most = static_cast<long long>(site->upload_max) - drained;
    if (unread_body == 0 || most <= 0 || left_ms <= 0) return disconnect();
    job_timeout = static_cast<unsigned int>(left_ms);
    receive_to_discard(unread_body < 0 ? most : std::min(unread_body, most));
}
