// Requests taken apart and groups framed, on ranges of a buffer.
#include "app/request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string get = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";
const std::string put_head = "PUT /x HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
const std::string chunked_head = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";

struct frame_row {
    const char* what;
    std::string received;
    group_frame frame;
    size_t body_head_end;  // where the announcing head ends, once a body is seen
};

TEST(FrameGroup, WholeHeadsAndAnnouncedBodies) {
    const std::vector<frame_row> rows = {
        {"nothing yet", "", group_frame::incomplete, 0},
        {"a head cut short", "GET / HTTP/1.1\r\nHost: h\r\n", group_frame::incomplete, 0},
        {"one whole head", get, group_frame::complete, 0},
        {"two whole heads", get + get, group_frame::complete, 0},
        {"a whole head and the start of the next", get + "GET /b", group_frame::incomplete, 0},
        {"a head whose body has begun", put_head + "hel", group_frame::body_follows,
         put_head.size()},
        {"a body that ends with an empty line", put_head + "\r\n\r\n", group_frame::complete,
         put_head.size()},
        {"a body behind a head without one", get + put_head + "h", group_frame::body_follows,
         get.size() + put_head.size()},
        {"a chunked body", chunked_head + "5\r\n", group_frame::body_follows, chunked_head.size()},
        {"a length of 0 announces nothing", "PUT /x HTTP/1.1\r\nContent-Length: 000\r\n\r\nGET",
         group_frame::incomplete, 0},
    };
    for (const frame_row& row : rows) {
        std::string bytes = row.received;
        group_scan scan;
        EXPECT_EQ(frame_group(bytes.data(), static_cast<int>(bytes.size()), &scan), row.frame)
            << row.what;
        if (row.frame == group_frame::body_follows) {
            EXPECT_EQ(static_cast<size_t>(scan.body_head_end), row.body_head_end) << row.what;
        }
        // The same bytes arriving one at a time, looked at after each: a body
        // is noticed once its head is whole, never before, and the scan ends
        // where the look at the whole bytes does.
        group_scan piecewise;
        group_frame last = group_frame::incomplete;
        for (size_t length = 0; length <= bytes.size(); ++length) {
            last = frame_group(bytes.data(), static_cast<int>(length), &piecewise);
            if (last == group_frame::body_follows) {
                EXPECT_GE(length, row.body_head_end) << row.what;
                EXPECT_EQ(static_cast<size_t>(piecewise.body_head_end), row.body_head_end)
                    << row.what << ", cut at " << length;
            }
        }
        EXPECT_EQ(last, row.frame) << row.what;
    }
}

TEST(MediaType, FormsAsClientsWriteThem) {
    struct row {
        const char* text;
        bool parses;
        const char* type;
        const char* boundary;  // null: none
    };
    const row rows[] = {
        {"multipart/form-data; boundary=abc", true, "multipart/form-data", "abc"},
        {"Multipart/Form-Data;boundary=abc", true, "multipart/form-data", "abc"},
        {"multipart/form-data; charset=utf-8; BOUNDARY=\"a b;c\"", true, "multipart/form-data",
         "a b;c"},
        {"multipart/form-data ; boundary = \"q\\\"x\" ;", true, "multipart/form-data", "q\"x"},
        {"multipart/form-data; boundary=1; boundary=2", true, "multipart/form-data", "1"},
        {"text/plain", true, "text/plain", nullptr},
        {"multipart", false, "", nullptr},
        {"/form-data", false, "", nullptr},
        {"multipart/form-data; boundary", false, "multipart/form-data", nullptr},
        {"multipart/form-data; boundary=\"open", false, "multipart/form-data", nullptr},
        {"multipart/form-data; =x", false, "multipart/form-data", nullptr},
        {"multipart/form-data; boundary=\"a\"b", false, "multipart/form-data", nullptr},
    };
    for (const row& r : rows) {
        media_type type;
        EXPECT_EQ(parse_media_type(r.text, &type), r.parses) << r.text;
        if (!r.parses) continue;
        EXPECT_EQ(type.type, r.type) << r.text;
        const auto boundary = type.parameters.find("boundary");
        EXPECT_EQ(boundary == type.parameters.end() ? "(none)" : boundary->second,
                  r.boundary ? r.boundary : "(none)")
            << r.text;
    }
}

TEST(ConnectionOptions, AreListedInAnyCaseAmongOthers) {
    struct row {
        const char* field;  // null: no Connection field
        bool keep_alive;
        bool close;
    };
    const row rows[] = {
        {nullptr, false, false},
        {"keep-alive", true, false},
        {"Keep-Alive", true, false},
        {"close", false, true},
        {"TE, Close", false, true},
        {" upgrade ,keep-alive ", true, false},
        {"keep-alive-please", false, false},
    };
    for (const row& r : rows) {
        request_head head;
        if (r.field != nullptr) head.connection = r.field;
        EXPECT_EQ(lists_connection_option(head, "keep-alive"), r.keep_alive) << r.field;
        EXPECT_EQ(lists_connection_option(head, "close"), r.close) << r.field;
    }
}

}  // namespace
