// The request handler: once the received bytes end with an empty line, every
// request head of the group is answered in order, the answers are written one
// after the other into the response buffer, and one send job sends them all.
// A request that is not served with a response closes the connection, and
// nothing of its group is sent.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "app/request.h"
#include "app/responder.h"
#include "app/simple_server.h"
#include "engine/platform.h"
#include "http/http_utils.h"

void simple_server_node::before_job_proc() {
    release_idle_answer_pages();
    if (!job_active() || get_job() != _recv || transferred < 4 || body_upload) return;
    etx_detected = memcmp(in_buf + transferred - 4, "\r\n\r\n", 4) == 0;
    const bool body_follows = !etx_detected && body_announced();
    if (etx_detected || body_follows) answer_received_group(body_follows);
}

void simple_server_node::answer_received_group(bool body_follows) {
    // The group without its closing empty line; a head that announces a body
    // is logged with whatever followed it, unless that is an upload's body.
    const int logged = body_follows && site->upload ? unchecked_head + announced_head_length - 2
                                                    : transferred - (etx_detected ? 2 : 0);
    log_block("etx detected", std::string_view(in_buf, static_cast<size_t>(logged)));
    abort_job();  // the receive job, unless the buffer has already ended it
    group_end = in_buf + transferred;
    answer_request_group(in_buf);
}

bool simple_server_node::upload_fills_buffer() {
    return site->upload && body_announced();
}

// A head's body may never end with an empty line, or may hold a request of its
// own: a complete head that announces one is noticed at once, wherever it
// stands among the bytes received so far. Each search goes on where the last
// one stopped, and each complete head is read once: linear in the bytes received.
bool simple_server_node::body_announced() {
    char* received_end = in_buf + transferred;
    for (;;) {
        char* from = in_buf + std::max(unchecked_head, searched - 3);
        char* head_end = find_str(from, received_end, "\r\n\r\n");
        if (head_end == nullptr) {
            searched = transferred;
            return false;
        }
        request_head head;
        char* next = nullptr;
        if (read_request_head(in_buf + unchecked_head, received_end, &next, &head) &&
            announces_body(head)) {
            announced_head_length = static_cast<int>(next - (in_buf + unchecked_head));
            return true;
        }
        unchecked_head = searched = static_cast<int>(head_end + 4 - in_buf);
    }
}

void simple_server_node::answer_request_group(char* current) {
    char* write_pos = out_buf;
    int room = out_size;
    to_transfer = 0;
    close_after_send = false;
    group_rest = nullptr;

    while (current != group_end) {
        char* next = nullptr;
        answer a = respond(*site, &login, monotonic_ns() / 1000000, current, group_end, &next);
        if (a.what == answer::kind::close) return disconnect();
        if (a.event != nullptr) log_event(a.event);
        if (a.what == answer::kind::upload) {
            // The rest of the group is the upload's body.
            return take_upload(std::move(a), next, static_cast<size_t>(group_end - next));
        }

        written w;
        if (!write_logged(a, write_pos, room, &w)) return disconnect();  // the buffer is full

        write_pos += w.length;
        room -= w.length;
        to_transfer += w.length;
        current = next;
        close_after_send = close_after_send || a.close_after_send || a.last_of_group;
        if (a.last_of_group) break;
        if (w.body_from_file) {
            // The body follows the header from the file; the rest of the group
            // is answered once it has been sent.
            send_body_from(std::move(a));
            if (current != group_end && !close_after_send) group_rest = current;
            break;
        }
    }
    send_answers(to_transfer);
}

bool simple_server_node::write_logged(const answer& a, char* pos, int room, written* w) {
    *w = write_answer(*site, a, pos, room);
    if (w->length < 0) return false;
    if (!w->file_served) log_event("error detected");
    // The header without its closing empty line.
    log_block("header to send", std::string_view(pos, static_cast<size_t>(w->header_length - 2)));
    return true;
}

void simple_server_node::send_answers(int length) {
    to_transfer = length;
    buffer_size = out_size;
    buffer = out_buf;
    log_job_activation(activate_job(_send, false));
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

void simple_server_node::take_upload(answer a, const char* received, size_t size) {
    body_upload = std::move(a.body);
    close_after_send = close_after_send || a.close_after_send;
    answered_length = to_transfer;
    body_upload->take(received, size);
    if (a.continue_first && size == 0 && body_upload->current() == upload::state::receiving) {
        // The client waits for this before it sends the body; the answers of
        // the group before the upload go with it.
        static const char go_on[] = "HTTP/1.1 100 Continue\r\n\r\n";
        const int length = static_cast<int>(sizeof go_on - 1);
        if (out_size - answered_length < length) return disconnect();
        memcpy(out_buf + answered_length, go_on, static_cast<size_t>(length));
        log_block("header to send", std::string_view(go_on, static_cast<size_t>(length - 2)));
        const int sent = answered_length + length;
        answered_length = 0;
        return send_answers(sent);
    }
    go_on_with_upload();
}

// The body arrives in receives of whatever the client sends, each taken by
// the upload at once: the receive buffer never holds more than one of them.
void simple_server_node::go_on_with_upload() {
    if (body_upload->current() == upload::state::receiving) {
        partial_recv = true;
        buffer = in_buf;
        buffer_size = in_size;
        to_transfer = in_size;
        log_job_activation(activate_job(_recv, true));
        return;
    }
    partial_recv = false;
    answer a = upload_result(*body_upload);
    if (body_upload->current() == upload::state::stored) {
        log_text_event("upload stored: ", body_upload->stored_files());
    }
    body_upload.reset();
    written w;
    if (!write_logged(a, out_buf + answered_length, out_size - answered_length, &w)) {
        return disconnect();
    }
    close_after_send = close_after_send || a.last_of_group;
    send_answers(answered_length + w.length);
}
