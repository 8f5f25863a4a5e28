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
#include "http/http_utils.h"

void simple_server_node::before_job_proc() {
    release_idle_answer_pages();
    if (!job_active() || get_job() != _recv || transferred < 4) return;
    etx_detected = memcmp(in_buf + transferred - 4, "\r\n\r\n", 4) == 0;
    if (!etx_detected && !body_announced()) return;

    // The group without its closing empty line; a head that announces a body
    // is logged with whatever followed it.
    log_block("etx detected",
              std::string_view(in_buf, static_cast<size_t>(transferred - (etx_detected ? 2 : 0))));
    abort_job();
    group_end = in_buf + transferred;
    answer_request_group(in_buf);
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
        answer a = respond(*site, &login, current, group_end, &next);
        if (a.what == answer::kind::close) return disconnect();
        if (a.event != nullptr) log_event(a.event);

        written w = write_answer(*site, a, write_pos, room);
        if (w.length < 0) return disconnect();  // the response buffer is full
        if (!w.file_served) log_event("error detected");
        // Log the header without its closing empty line.
        log_block("header to send",
                  std::string_view(write_pos, static_cast<size_t>(w.header_length - 2)));

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
