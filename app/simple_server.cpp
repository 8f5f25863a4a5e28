#include "app/simple_server.h"

#include <cerrno>
#include <new>

#include "log/printf_ex.h"
#include "log/time_utils.h"

void simple_se_server::after_error(errors error) {
    // Read before logging can change it. A failure without a failed system
    // call finds errno as its caller left it.
    error_number = errno;
    printf_ex("%s server function call finished with error %s\n", system_time_str().c_str(),
              get_error_str(error));
}

se_server_node* simple_se_server::new_node() {
    auto* node = new (std::nothrow) simple_server_node(&site, &services);
    if (node != nullptr && !node->has_buffers()) {
        delete node;
        node = nullptr;
    }
    if (node != nullptr && tls) node->set_transport(std::make_unique<tls_transport>(tls));
    return node;
}
