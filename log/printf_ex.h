// The process-wide log: printf-style lines to standard output, to a log file,
// or to both, serialised under one recursive lock.
//
// printf_ex adds nothing to the text; callers write whole lines. The file is
// flushed after every call, so the system holds every returned call's text
// in the file, unless texts are gathered (printf_ex_gather) to be written a round at a time.
// A text the file cannot take whole (a full disk) is lost, not retried:
// standard error says so at the first failure of a run, and once the file
// takes text again it gets a stamped line "log: N texts could not be written
// to <file>" before anything else.
// May be called before printf_ex_init: the text then goes to standard output.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The line of two slashes and 75 hyphens that frames multi-line blocks in the
// log and opens the start-up banner, with its line feed.
extern const char* const log_separator_line;

// Sets the routing and, when `print_to_file` is true, opens `file_name` with
// the fopen `mode`; a file that this creates gets the mode 0600, an existing
// one keeps its own, and a symbolic link is not followed (the open fails). The flags are stored in
// every case. Returns true when a file was opened or when `print_to_file` is false; false when the
// name or the mode is null or the open failed. A file opened earlier is closed first.
bool printf_ex_init(bool print_to_file, bool print_to_screen_also, const char* file_name,
                    const char* mode);

// Writes one formatted text. Returns true when every write it made (and the
// file's flush) succeeded; false when the routing sends the text nowhere.
// While the log is disabled it writes nothing and returns true.
bool printf_ex(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Opens the file that printf_ex_init named again, for appending, and writes
// to it from then on, so that a log moved away (rotated) ends and a new one
// begins under the name. False, with the file open before still in use, when
// the name cannot be opened or no file was named.
bool printf_ex_reopen();

// From now on every write to the open log file goes to its end, whoever else
// writes the file (O_APPEND): processes that share the log add their texts
// whole, one after another. A file opened again by printf_ex_reopen is
// appended to anyway. False when no file is open or its flags cannot be set.
bool printf_ex_append_only();

// Closes the log file, if one is open. The routing flags keep their values.
// Texts still gathered are written first.
void printf_ex_uninit();

// Gathering, off at first. While on, printf_ex keeps each text in memory (and
// returns true), and printf_ex_flush() writes what was gathered with one write
// per destination, in the order of the calls; texts are counted as lost on
// the file, and lines missed on standard output, as if each had been written
// by its own call. The owner of a poll loop turns it on, and flushes after
// every round and before it sleeps or ends, so the log holds every round but
// the one running. More than 64 KiB gathered is written at once. Turning
// gathering off flushes.
void printf_ex_gather(bool value);

// Writes what was gathered. True when every write succeeded (or there was
// nothing to write).
bool printf_ex_flush();

// The master switch: while false, printf_ex writes nothing.
void printf_ex_enabled(bool value);

// How standard output is written. Initially (false) through the C stream, as
// usual. With true, standard output never holds up a caller: when it is a
// pipe, a terminal or a socket, a text that it cannot take at once is dropped
// there (the file still gets it), and the next text it takes is preceded by a
// stamped line that says how many lines it missed; a text is never cut, and a
// reader that has gone away ends screen output for good. A regular file or a
// device that is not a terminal is written as usual. The kind of standard
// output is looked at once, by this call.
void printf_ex_screen_never_blocks(bool value);

// With true, other processes write the same standard output (workers): each
// text goes to it in pieces of whole lines, at most PIPE_BUF bytes each
// unless one line is longer, which a pipe takes whole or not at all, so that
// lines of different processes never mix. Without never_blocks, each piece
// is flushed on its own. Initially false.
void printf_ex_screen_shared(bool value);

// Appends `length` bytes that came from the network to `out`, made safe for
// the log and for the terminal that shows it: every byte below 0x20 and 0x7F
// is written as "\xHH" (upper-case hex), except TAB and a CR directly followed
// by LF, which stay with that LF (the line ends of a request head). A byte of
// 0x80 or above stays only as part of a well-formed UTF-8 sequence for a code
// point of U+00A0 or above; every other one (stray, overlong, surrogate, the
// C1 controls U+0080 to U+009F) is written "\xHH" byte by byte. Printable
// ASCII and UTF-8 text is appended unchanged.
void append_log_safe(std::string* out, const char* text, size_t length);

// Appends `text` as a field of an access log line writes it between quotes:
// every byte below 0x20 or of 0x7F and above, '"' and the backslash as "\xHH" (upper-case
// hex); everything else as it is. Nothing in it can end the field or the line.
void append_access_log_field(std::string* out, std::string_view text);
