// The pages the server writes itself, beside the files it serves: their
// common head and look, the escaping of text for them, and the page that
// tells a browser why a request of its was refused.
//
// What callers may rely on:
// - Every page is HTML5 in UTF-8 with an inline style; nothing is loaded
//   from elsewhere. Text is escaped for HTML (& < > " '), so no markup of a
//   name or a reason reaches a page.
// - A refusal page names the status, says why in a sentence, and links back
//   to the folder. Where a name is taken it carries a form that sends the
//   files again, with a button for each choice offered: "Keep both" posts to
//   the folder with "?conflict=keep", "Replace" with "?conflict=replace".
#pragma once

#include <string>
#include <string_view>

// Appends `text` to `out` with & < > " ' written as entities.
void append_html_escaped(std::string_view text, std::string* out);

// The page's start up to its body: doctype, charset, viewport, the style
// every page shares, and the title (escaped here).
std::string page_start(std::string_view title);

// What a refusal page offers where the files' names are taken.
struct refusal_offer {
    bool keep_both = false;  // send the files again, each under a free name
    bool replace = false;    // send them again to replace what has their names
};

// The page that refuses a request with `status` ("409 Conflict") because of
// `why`, linking back to `folder` (a URL path ending in "/", as a client
// sends it).
std::string refusal_page(std::string_view status, std::string_view why, std::string_view folder,
                         const refusal_offer& offer);
