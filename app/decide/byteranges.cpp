#include "app/decide/byteranges.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

class byteranges_source : public body_source {
  public:
    byteranges_source(int fd, off_t size, std::vector<byte_range> ranges, std::string type,
                      std::string boundary)
        : fd(fd),
          size(size),
          ranges(std::move(ranges)),
          type(std::move(type)),
          boundary(std::move(boundary)) {
        pending = part_head(0);
    }
    ~byteranges_source() override { close(fd); }

    long long length() const override {
        long long total = static_cast<long long>(closing().size());
        for (size_t i = 0; i < ranges.size(); ++i) {
            total +=
                static_cast<long long>(part_head(i).size() + ranges[i].last - ranges[i].first + 1);
        }
        return total;
    }

    long long produce(char* buffer, size_t room) override {
        size_t made = 0;
        while (made < room && part <= ranges.size()) {
            if (!pending.empty()) {
                const size_t n = std::min(room - made, pending.size());
                memcpy(buffer + made, pending.data(), n);
                pending.erase(0, n);
                made += n;
                continue;
            }
            if (part == ranges.size()) {
                ++part;  // the closing delimiter has gone
                break;
            }
            const byte_range& range = ranges[part];
            const std::uint64_t left = range.last + 1 - range.first - sent_of_part;
            const size_t want = static_cast<size_t>(std::min<std::uint64_t>(left, room - made));
            const ssize_t n =
                pread(fd, buffer + made, want, static_cast<off_t>(range.first + sent_of_part));
            if (n <= 0) return -1;  // the file became shorter than the part
            made += static_cast<size_t>(n);
            sent_of_part += static_cast<std::uint64_t>(n);
            if (sent_of_part == range.last + 1 - range.first) {
                sent_of_part = 0;
                ++part;
                pending = part < ranges.size() ? part_head(part) : closing();
            }
        }
        return static_cast<long long>(made);
    }

  private:
    int fd;
    off_t size;
    std::vector<byte_range> ranges;
    std::string type;
    std::string boundary;
    size_t part = 0;
    std::uint64_t sent_of_part = 0;
    std::string pending;  // delimiter text still to send

    std::string part_head(size_t i) const {
        return std::string(i == 0 ? "" : "\r\n") + "--" + boundary + "\r\nContent-Type: " + type +
               "\r\nContent-Range: " + content_range(ranges[i], static_cast<std::uint64_t>(size)) +
               "\r\n\r\n";
    }
    std::string closing() const { return "\r\n--" + boundary + "--\r\n"; }
};

}  // namespace

std::unique_ptr<body_source> byteranges_body(int fd, off_t size, std::vector<byte_range> ranges,
                                             std::string content_type, std::string boundary) {
    return std::make_unique<byteranges_source>(fd, size, std::move(ranges), std::move(content_type),
                                               std::move(boundary));
}

std::string random_boundary() {
    static const char letters[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    unsigned char bytes[24] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        // Without randomness the boundary is still unlikely in a file: the time.
        const auto now = static_cast<unsigned long>(time(nullptr));
        memcpy(bytes, &now, sizeof now);
    }
    std::string boundary = "websrv-";
    for (unsigned char byte : bytes)
        boundary += letters[byte % (sizeof letters - 1)];
    return boundary;
}
