// The page that lists a directory whose index file does not exist, and the
// same entries as JSON for scripts.
//
// What callers may rely on:
// - Entries: sub-directories first, then files, each sorted by name in byte
//   order. "." and ".." are never entries; names that begin with "." are
//   left out unless `show_hidden`. A symbolic link is listed as what it points
//   to (a link to a directory is a directory), by its own name only: no
//   target path ever appears. A link that is broken or whose target cannot be
//   stat'ed, and anything that is neither a directory nor a regular file
//   (pipes, sockets, devices), is left out: nothing is offered that a GET
//   could not serve. A directory's size is 0.
// - Only the directory is read (opendir/readdir, fstatat on its descriptor);
//   no file is opened. Time is linear in the entries, plus the sort.
// - Names are escaped for HTML (& < > " '), so no markup of a name reaches
//   the page. Every link is relative to the listed directory, whose url_path
//   ends in "/"; a directory's link ends in "/". The parent link "../" is
//   there except at url_path "/".
// - With `decoded_paths` (the server percent-decodes request paths) each
//   link is the name percent-encoded: every byte outside A-Z a-z 0-9 - . _ ~
//   becomes %XX (upper-case hex), so every name opens, whatever its bytes.
// - Without it the server looks paths up byte for byte, and a client sends
//   what the link says only for the bytes a URL path holds literally: the
//   letters, digits and - . _ ~ ! $ & ' ( ) * + , ; = : @. A name made of
//   those only is linked as it is ("./" in front when it holds a ":", so it
//   cannot read as a scheme); any other name (a space, " # % < > ? \, a
//   control byte, UTF-8) is shown without a link, since its link could not
//   open it.
// - The page is HTML5 in UTF-8 with an inline style and an inline script;
//   nothing is loaded from elsewhere. Its title and heading name the
//   url_path, decoded for display with `decoded_paths` when it decodes, and
//   escaped; in the heading each folder on the way is a link to its own
//   listing (where a link can open it, as for entries).
// - Without script the page is whole: its rows come in the order the options
//   ask for (`sort_by`, `descending`; folders always first, names in byte
//   order among equals), the column heads are links that ask for each order
//   ("?sort=name|size|date", "&order=desc"), times are UTC text, and a form
//   searches the share's names below the folder ("?q="). The script sorts the
//   rows in place when a column head is clicked (names as the reader's
//   language orders them), shows each time in the reader's time zone (every
//   row's time is in a <time datetime> of ISO 8601 UTC, its size and time in
//   data-size and data-mtime), and shows a box that filters the rows by name.
// - With `upload_form`, a multipart form (field "file", several files)
//   posts to "./", the listed directory itself.
// - With `decoded_paths`, the script makes the page a small file manager
//   for what the options allow (the caller sets them by the user's rights):
//   with `upload_form`, files picked or dropped onto the page are sent one
//   by one (PUT) with a progress bar each and one for all, and a cancel (a
//   taken name asks whether to keep both or, with `replace`, to replace);
//   with `make_folders` a button
//   makes a folder (MKCOL); with `change` each row can be renamed or moved
//   (MOVE, never over what is there) and deleted (DELETE, asked first), and
//   rows picked with their boxes deleted together. Every request goes to
//   the listed folder's own site. A search page offers none of it.
// - The page links "?download=zip": the listed directory as one archive.
// - A search page (write_search) lists the names below the folder that hold
//   the search text (letters A-Z compared in any case) as paths relative to
//   it, in the same table, linked as entries are. Its walk never leaves the
//   root: a link is followed only where it leads to a place beneath the root,
//   and no folder is walked twice. Names that begin with "." are skipped
//   (and not walked) unless `show_hidden`. It is bounded by `search_limits`:
//   when a bound stops it, the page says so.
#pragma once

#include <string>

// The order of a page's rows besides folders first.
enum class listing_sort { name, size, date };

struct listing_options {
    bool show_hidden = false;    // names that begin with "." are listed too
    bool upload_form = false;    // the page carries a form to upload files here
    bool decoded_paths = false;  // the server percent-decodes request paths: see above
    listing_sort sort_by = listing_sort::name;
    bool descending = false;
    bool replace = false;       // the script offers to replace files uploaded over others
    bool make_folders = false;  // the script offers to make folders (MKCOL)
    bool change = false;        // ... and to rename, move and delete (MOVE, DELETE)
};

// How far one search goes.
struct search_limits {
    size_t entries_max = 20000;  // entries looked at, in all the folders walked
    long long time_max_ms = 500;
    size_t results_max = 500;  // names found
    size_t text_max = 256;     // bytes of search text
};

// Writes the page listing the directory `dir` (a file-system path ending in "/") that the
// client reached as `url_path` (the request path as sent, beginning and ending with "/").
// False, with `page` empty, when the directory cannot be opened or read.
bool write_listing(const std::string& dir, const std::string& url_path,
                   const listing_options& options, std::string* page);

// Writes the page of the names below `dir` (a file-system path ending in "/",
// beneath `root`) that hold `text`, titled with `url_path` as write_listing
// is. False, with `page` empty, when `dir` cannot be read or lies outside
// the root.
bool write_search(const std::string& root, const std::string& dir, const std::string& url_path,
                  const std::string& text, const listing_options& options,
                  const search_limits& limits, std::string* page);

// The same entries, in the order of names, as a JSON array of objects
// {"name": text, "href": the link that fetches it (relative, as the page's; null where no
// link can), "type": "dir" or "file", "size": bytes, "mtime": seconds since 1970}.
// Control bytes, '"' and '\' in names are escaped; a byte that is not part of well-formed
// UTF-8 is replaced by \ufffd, so the text is always valid JSON (such a name is then not
// exact: its href is). `upload_form` does not matter here. False, with `json` empty, when the
// directory cannot be opened or read.
bool write_listing_json(const std::string& dir, const listing_options& options, std::string* json);

// Whether `text` is well-formed UTF-8: no stray continuation byte, overlong
// form, surrogate, value beyond U+10FFFF or sequence cut short.
bool is_well_formed_utf8(const std::string& text);
