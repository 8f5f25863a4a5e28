#include "app/simple_server.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <new>

#include "log/printf_ex.h"
#include "log/time_utils.h"

int simple_server_node::max_a_counter = 3;

namespace {

// The start of the response buffer that stays resident: every short answer
// and small file is written there, and would otherwise fault its pages in
// again (several microseconds a page on a virtual machine).
const uintptr_t kept_answer_bytes = 4096;

}  // namespace

simple_server_node::simple_server_node(const site_policy* site)
    : site(site),
      in_size(site->sizeof_in),
      in_buf(new (std::nothrow) char[static_cast<size_t>(site->sizeof_in)]),
      out_size(site->sizeof_out),
      out_buf(new (std::nothrow) char[static_cast<size_t>(site->sizeof_out)]) {
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
    if (!answer_pages_resident || !job_active() || get_job() != _recv) return;
    // Whole seconds: a difference of 2 is at least one full second.
    if (difftime(time(nullptr), job_activation_time()) < 2) return;
    release_answer_pages();
}

const char* simple_server_node::log_prefix() {
    if (log_prefix_text.empty() || log_prefix_ip != addr.sin_addr.s_addr ||
        log_prefix_port != addr.sin_port) {
        char text[64];  // the longest: "node (ip = 255.255.255.255, port = 65535) "
        snprintf(text, sizeof text, "node (ip = %s, port = %hu) ", get_ip().c_str(), get_port());
        log_prefix_text = text;
        log_prefix_ip = addr.sin_addr.s_addr;
        log_prefix_port = addr.sin_port;
    }
    return log_prefix_text.c_str();
}

void simple_server_node::log_event(const char* event) {
    printf_ex("%s %s%s\n", system_time_str().c_str(), log_prefix(), event);
}

void simple_server_node::log_text_event(const char* event, const std::string& text) {
    std::string line = event;
    append_log_safe(&line, text.data(), text.size());
    log_event(line.c_str());
}

void simple_server_node::log_block(const char* event, std::string_view text) {
    // Text from the network may hold control bytes that would forge log lines or
    // drive the operator's terminal. Shared by all nodes: one thread logs.
    static std::string safe_text;
    safe_text.clear();
    append_log_safe(&safe_text, text.data(), text.size());
    printf_ex("%s%s %s%s\n%s%s\n%s", log_separator_line, system_time_str().c_str(), log_prefix(),
              event, log_separator_line, safe_text.c_str(), log_separator_line);
}

void simple_server_node::log_job_activation(bool activated) {
    printf_ex(activated ? "%s %sjob %s activated\n" : "%s %scan not activate job %s\n",
              system_time_str().c_str(), log_prefix(), get_job_str(get_job()));
}

void simple_server_node::start_recv() {
    unchecked_head = searched = 0;
    partial_recv = false;
    buffer_size = in_size;
    buffer = in_buf;
    to_transfer = buffer_size;
    log_job_activation(activate_job(_recv, true));
}

void simple_server_node::after_connect() {
    login.peer = addr.sin_addr.s_addr;
    log_event("connected");
    start_recv();
}

void simple_server_node::result_proc() {
    if (get_job() == _send && static_cast<uintptr_t>(to_transfer) > kept_answer_bytes) {
        answer_pages_resident = true;
    }
    printf_ex("%s %sjob %s finished with result %s\n", system_time_str().c_str(), log_prefix(),
              get_job_str(get_job()), get_result_str(get_result()));
    if (get_job() == _send) {
        // A send that ran out of file has sent fewer bytes than it announced.
        if (get_result() == send_failed && send_file_remaining > 0 && last_io_result == 0) {
            log_event("file ended before its announced length");
        }
        end_body_from_file();
    }
    switch (get_result()) {
        case aborted:
        case connection_closed:  // the engine closes and calls after_disconnect() itself
            return;
        case success:
            if (get_job() == _send && close_after_send) {
                disconnect();
            } else if (get_job() == _send && body_upload) {
                go_on_with_upload();
            } else if (get_job() == _send && group_rest != nullptr) {
                answer_request_group(group_rest);
            } else if (get_job() == _send) {
                start_recv();
            } else if (get_job() == _recv && body_upload) {
                body_upload->take(in_buf, static_cast<size_t>(transferred));
                go_on_with_upload();
            } else if (get_job() == _recv && upload_fills_buffer()) {
                answer_received_group(true);
            } else if (get_job() == _recv) {
                // The receive buffer filled up before a request group was complete.
                disconnect();
            }
            return;
        default:
            disconnect();
    }
}

void simple_server_node::after_disconnect() {
    // An upload cut off here leaves nothing behind.
    body_upload.reset();
    log_event("disconnected");
}

void simple_se_server::after_error(errors error) {
    // Read before logging can change it. A failure without a failed system
    // call finds errno as its caller left it.
    error_number = errno;
    printf_ex("%s server function call finished with error %s\n", system_time_str().c_str(),
              get_error_str(error));
}

se_server_node* simple_se_server::new_node() {
    auto* node = new (std::nothrow) simple_server_node(&site);
    if (node != nullptr && !node->has_buffers()) {
        delete node;
        node = nullptr;
    }
    return node;
}

void simple_se_server::serve(site_policy policy, unsigned int login_limit) {
    logins = login_limiter(login_limit);
    site = std::move(policy);
    site.logins = logins.enabled() ? &logins : nullptr;
}
