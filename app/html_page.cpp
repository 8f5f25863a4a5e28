#include "app/html_page.h"

namespace {

const char page_style[] =
    "<style>\n"
    "body{font-family:system-ui,sans-serif;margin:1em auto;padding:0 .8em;max-width:60em}\n"
    "h1{font-size:1.3em;overflow-wrap:anywhere}\n"
    "table{border-collapse:collapse;width:100%}\n"
    "th,td{padding:.45em .4em;border-bottom:1px solid #ddd;text-align:left;vertical-align:top}\n"
    "td:first-child{overflow-wrap:anywhere}\n"
    "th+th,td+td{white-space:nowrap;color:#555;font-size:.9em}\n"
    "th:nth-child(2),td:nth-child(2){text-align:right}\n"
    "a{text-decoration:none}\n"
    "form{margin:1em 0;padding:.6em;border:1px solid #ddd}\n"
    "input[type=search]{padding:.3em;max-width:100%}\n"
    "</style>\n";

}  // namespace

void append_html_escaped(std::string_view text, std::string* out) {
    for (const char c : text) {
        switch (c) {
            case '&':
                *out += "&amp;";
                break;
            case '<':
                *out += "&lt;";
                break;
            case '>':
                *out += "&gt;";
                break;
            case '"':
                *out += "&quot;";
                break;
            case '\'':
                *out += "&#39;";
                break;
            default:
                *out += c;
        }
    }
}

std::string page_start(std::string_view title) {
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    page += page_style;
    page += "<title>";
    append_html_escaped(title, &page);
    page += "</title>\n</head>\n";
    return page;
}

std::string refusal_page(std::string_view status, std::string_view why, std::string_view folder,
                         const refusal_offer& offer) {
    std::string page = page_start(status);
    page += "<body>\n<h1>";
    append_html_escaped(status, &page);
    page += "</h1>\n<p>";
    append_html_escaped(why.empty() ? status : why, &page);
    page += "</p>\n";
    if (offer.keep_both || offer.replace) {
        // A browser cannot send a file again on its own: the user picks it
        // once more, here, and says what becomes of the name.
        page += "<form method=\"post\" enctype=\"multipart/form-data\" action=\"";
        append_html_escaped(folder, &page);
        page +=
            "\">\n<p>Choose the files again, then:</p>\n"
            "<input type=\"file\" name=\"file\" multiple required>\n";
        if (offer.keep_both) {
            page += "<button type=\"submit\" formaction=\"";
            append_html_escaped(folder, &page);
            page += "?conflict=keep\">Keep both</button>\n";
        }
        if (offer.replace) {
            page += "<button type=\"submit\" formaction=\"";
            append_html_escaped(folder, &page);
            page += "?conflict=replace\">Replace</button>\n";
        }
        page += "</form>\n";
    }
    page += "<p><a href=\"";
    append_html_escaped(folder, &page);
    page += "\">Back to the folder</a></p>\n</body>\n</html>\n";
    return page;
}
