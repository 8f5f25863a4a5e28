// Files that authenticated clients send: the body of a PUT stored as one file,
// or each file part of a multipart/form-data POST stored in a directory.
//
// An upload takes the body as it arrives, in pieces of any size, and never
// holds more than a few KiB of it. Each file is written to a file without a
// name (O_TMPFILE) in the target directory, so that nothing half-written is
// ever visible; where the file system has no such files, to a hidden
// temporary name (".upload-" and random letters, created exclusively). Only
// once the whole body has come are the files given their names, and only
// after every name has been checked: valid (no control characters), not
// beginning with ".", not longer than the file system allows, not taken
// (unless replacing is allowed), not given twice. A file kept beside what
// has its name takes the first free "name (N).ext" instead. A part's Content-Disposition
// is read as the header syntax says (parameters in any letter case, values
// quoted or not), so that a field's quoted name never passes for a file name.
//
// A form stores all its files or none, and a refused form leaves every
// existing file as it was. A name taken between the check and the placing
// refuses the whole upload. Replacing swaps the new file and the old one in
// one step (RENAME_EXCHANGE), so the old one waits whole under a hidden name
// until every file of the form is placed, and only then goes; where the file
// system cannot swap, the old file is first linked to the hidden name and
// the new one renamed over it. When any file cannot be placed, every old
// file takes its name back, every new name is removed, and the client is
// refused. Whatever has not been placed goes when the upload ends or is
// destroyed, so a client that goes away, times out or sends something wrong
// leaves nothing behind.
//
// Every file keeps a descriptor open until it is placed or discarded. The
// files open across all uploads of the process are bounded (a quarter of
// RLIMIT_NOFILE, so stalled forms cannot take the descriptors connections
// need); a file beyond the bound refuses its upload with 503.
//
// Everything is created relative to the target directory's descriptor,
// which the caller opened without leaving the root: this unit decides
// nothing about paths.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// What an upload does with a name that is taken.
enum class if_taken {
    refuse,     // the upload is refused 409
    replace,    // a file is replaced (a directory never is)
    keep_both,  // the new file takes the next free "name (N).ext"
};

class upload {
  public:
    enum class state {
        receiving,  // wants more of the body
        stored,     // the body is complete and every file is in place
        failed,     // refused: `status()` and `reason()` tell why; nothing of it is left
    };

    // The most file parts one form may hold.
    static constexpr size_t max_files = 1000;
    // The most numbers tried for a file kept beside one of its name.
    static constexpr unsigned max_numbered = 1000;

    // A PUT: `length` bytes (-1: not known in advance, a chunked body) become
    // the file `name` in the directory open as
    // `dir` (the upload keeps a descriptor of its own). `location` is what
    // the 201 answer names.
    static std::unique_ptr<upload> single_file(int dir, const std::string& name, off_t length,
                                               if_taken taken, std::string location);
    // A multipart/form-data POST of `length` bytes with `boundary`: each file
    // part becomes a file in `dir` under its file name (parts without one
    // are skipped; a form without any file is refused). `location` is the
    // directory as the client named it, ending in "/": the 201 answer names
    // the first file in it.
    static std::unique_ptr<upload> form_files(int dir, const std::string& boundary, off_t length,
                                              if_taken taken, std::string location);

    virtual ~upload();
    upload(const upload&) = delete;
    upload& operator=(const upload&) = delete;

    // Takes the next `size` bytes of the body. Bytes beyond the announced
    // length fail the upload: a client must not send more than it announced.
    // With a length, the last byte completes the upload.
    state take(const char* data, size_t size);
    // The body has ended: an upload of unknown length (-1) is completed, one
    // whose announced length has not come is refused.
    state end_of_body();
    state current() const { return now; }
    // The bytes still to come, with a length.
    off_t missing() const { return length - received; }

    // The answer's status line text ("201 Created", "409 Conflict", ...), and
    // for a refused upload why, in words a person reads ("a.txt exists").
    const char* status() const { return answer_status; }
    const std::string& reason() const { return refusal; }
    // For a stored upload: the Location of the first new file, and what was
    // stored, for the log: "name (N bytes)", names joined by ", ".
    const std::string& location() const { return stored_location; }
    const std::string& stored_files() const { return stored_text; }

  protected:
    upload(int dir, off_t length, if_taken taken, std::string location);

    // The body's bytes in order; false fails the upload (fail() says why).
    virtual bool consume(const char* data, size_t size) = 0;
    // The last byte has come; false fails the upload.
    virtual bool finish() = 0;

    // A file being written: begun by begin_file, completed by end_file, and
    // placed with the others once the whole body has come.
    bool begin_file(const std::string& name);
    bool write_file(const char* data, size_t size);
    bool end_file();
    void fail(const char* status, std::string why);
    bool file_open() const { return writing.fd != -1; }
    size_t files_begun() const { return complete.size() + (file_open() ? 1 : 0); }

    if_taken taken;
    std::string base_location;

  private:
    // A file written or being written: a descriptor, and the hidden name it
    // was created under where the file system has no files without a name.
    struct file_in_work {
        int fd = -1;
        std::string temp_name;  // empty: a file without a name, or one placed
        std::string name;
        off_t size = 0;
        bool placed = false;
        std::string old_aside;  // placed over a file: the hidden name the old one waits under
    };

    int dir;
    off_t length;
    off_t received = 0;
    state now = state::receiving;
    const char* answer_status = nullptr;
    std::string refusal;
    std::string stored_location;
    std::string stored_text;
    file_in_work writing;
    std::vector<file_in_work> complete;

    // Why `name` may not be given, as the status and the reason; null when it
    // may. `new_in_form`: it must not be a name of the files before it too.
    const char* name_refusal(const std::string& name, bool new_in_form, std::string* why) const;
    bool create_file(file_in_work* file);
    bool place_files();
    state store_all();
    bool place(file_in_work& file);
    bool place_as_new(file_in_work& file);
    bool place_beside_old(file_in_work& file);
    bool place_over_old(file_in_work& file);
    bool swap_with_old(file_in_work& file);
    bool move_old_aside(file_in_work& file);
    void unplace(file_in_work& file);
    void fail_placing(const std::string& name, int error);
    void release(file_in_work& file);
    void discard(file_in_work& file);
    void remove_unplaced();
};

// Whether `name` may be the name of an uploaded file: not empty, not "." or
// "..", and without "/", "\" or a control character (below 0x20, and 0x7F).
bool valid_upload_name(std::string_view name);

// A file in the making that no one sees until it is given its name: one
// without a name (O_TMPFILE) in `dir`, or where the file system has none,
// one under a hidden name, made exclusively and returned in `temp_name`
// (empty for a file without a name). Its descriptor, open for writing, or
// -1 with errno.
int create_unseen_file(int dir, mode_t mode, std::string* temp_name);

// Gives `fd`, a file made without a name, the name `name` in `dir`, never
// over an existing one (EEXIST). False, with errno, when it cannot.
bool link_unnamed(int fd, int dir, const std::string& name);

// The name a file kept beside one of `name` takes when `number` is taken
// too: "name (N).ext", the number before the last extension ("notes (1).txt",
// "archive.tar (1).gz"; "Makefile (1)"). Empty when it would be longer than
// a name may be.
std::string numbered_name(const std::string& name, unsigned number);

// A hidden name for a file in the making: ".upload-" and random letters.
std::string hidden_name();

// For tests only, to force what a file system or a race rarely does; the
// server never sets them.
struct upload_seams {
    bool no_unnamed_files = false;  // O_TMPFILE is refused, as on a file system without it
    bool no_exchange = false;       // RENAME_EXCHANGE is refused with EINVAL, likewise
    // Runs just before each file is given its name, and may take the name
    // (make a file or a directory there). An errno it returns fails that
    // placing, as a failed rename would; 0 lets it go on.
    std::function<int(int dir, const std::string& name)> before_placing;
    // The bound of open upload files across the process; 0: a quarter of RLIMIT_NOFILE.
    size_t open_file_budget = 0;
};
inline upload_seams upload_test_seams;
