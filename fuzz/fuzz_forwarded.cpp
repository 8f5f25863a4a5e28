// What proxies tell of a client, on any bytes: the forwarded fields from a
// trusted and an untrusted peer, a list of trusted addresses, and a PROXY
// header read whole and a byte at a time. The first is never believed from
// an untrusted peer; a header's state never goes back as bytes arrive, and
// a complete one lies within the bytes.
#include <arpa/inet.h>
#include <netinet/in.h>

#include "fuzz/fuzz_support.h"
#include "http/forwarded.h"

namespace {

sockaddr_storage loopback() {
    sockaddr_storage peer{};
    peer.ss_family = AF_INET;
    reinterpret_cast<sockaddr_in&>(peer).sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return peer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    exact_copy input(data, size);
    const sockaddr_storage peer = loopback();
    address_list trusted;
    std::string why;
    require(parse_address_list("127.0.0.0/8,::1", &trusted, &why), "the fixed list is refused");

    const forwarded_client believed = find_forwarded_client(input.text(), peer, trusted);
    require(believed.scheme.empty() || believed.scheme == "http" || believed.scheme == "https",
            "a scheme other than http or https");
    require(believed.host.find_first_of("\r\n /\"") == std::string::npos, "a host that is none");
    const forwarded_client ignored = find_forwarded_client(input.text(), peer, address_list());
    require(memcmp(&ignored.address, &peer, sizeof peer) == 0 && ignored.scheme.empty() &&
                ignored.host.empty(),
            "fields believed from a peer that is not trusted");

    address_list list;
    if (!parse_address_list(input.text(), &list, &why))
        require(list.empty() && !why.empty(), "a refused list without its reason");

    const auto* bytes = reinterpret_cast<const unsigned char*>(input.begin());
    const proxy_header whole = read_proxy_header(bytes, size);
    if (whole.state == proxy_header_state::complete)
        require(whole.length > 0 && whole.length <= size, "a header beyond its bytes");
    for (size_t part = 0; part < size && part < 128; ++part) {
        const proxy_header early = read_proxy_header(bytes, part);
        if (early.state == proxy_header_state::malformed)
            require(whole.state == proxy_header_state::malformed, "malformed, then not");
        if (early.state == proxy_header_state::complete)
            require(whole.state == proxy_header_state::complete && whole.length == early.length,
                    "a complete header that changes as more bytes come");
    }
    require(input.unchanged(), "a reader changed its input");
    return 0;
}
