// Files that authenticated clients send: the body of a PUT stored as one file,
// or each file part of a multipart/form-data POST stored in a directory.
//
// An upload takes the body as it arrives, in pieces of any size, and never
// holds more than a few KiB of it. Each file is written to a file without a
// name (O_TMPFILE) in the target directory, so that nothing half-written is
// ever visible; where the file system has no such files, to a hidden
// temporary name (".upload-" and random letters, created exclusively). Only
// once the whole body has come are the files given their names, and only
// after every name has been checked: valid, not beginning with ".", not
// longer than the file system allows, not taken (unless replacing is
// allowed), not given twice. A name taken between the check and the
// placing refuses the whole upload: the files placed before it are removed
// again. So a form stores all its files or none. Whatever has not been
// placed goes when the upload ends or is destroyed, so a client that goes
// away, times out or sends something wrong leaves nothing behind.
//
// Everything is created relative to the target directory's descriptor,
// which the caller opened without leaving the root: this unit decides
// nothing about paths.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class upload {
  public:
    enum class state {
        receiving,  // wants more of the body
        stored,     // the body is complete and every file is in place
        failed,     // refused: `status()` and `reason()` tell why; nothing of it is left
    };

    // The most file parts one form may hold.
    static constexpr size_t max_files = 1000;

    // A PUT: `length` bytes become the file `name` in the directory open as
    // `dir` (the upload keeps a descriptor of its own). `location` is what
    // the 201 answer names.
    static std::unique_ptr<upload> single_file(int dir, const std::string& name, off_t length,
                                               bool replace, std::string location);
    // A multipart/form-data POST of `length` bytes with `boundary`: each file
    // part becomes a file in `dir` under its file name (parts without one
    // are skipped; a form without any file is refused). `location` is the
    // directory as the client named it, ending in "/": the 201 answer names
    // the first file in it.
    static std::unique_ptr<upload> form_files(int dir, const std::string& boundary, off_t length,
                                              bool replace, std::string location);

    virtual ~upload();
    upload(const upload&) = delete;
    upload& operator=(const upload&) = delete;

    // Takes the next `size` bytes of the body. Bytes beyond the announced
    // length fail the upload: a client must not send more than it announced.
    state take(const char* data, size_t size);
    state current() const { return now; }
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
    upload(int dir, off_t length, bool replace, std::string location);

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

    bool replace;
    std::string base_location;

  private:
    // A file written or being written: a descriptor, and the hidden name it
    // was created under where the file system has no files without a name.
    struct file_in_work {
        int fd = -1;
        std::string temp_name;  // empty: a file without a name
        std::string name;
        off_t size = 0;
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
    bool place(file_in_work& file);
    void discard(file_in_work& file);
    void remove_unplaced();
};

// Whether `name` may be the name of an uploaded file: not empty, not "." or
// "..", and without "/", "\" or NUL.
bool valid_upload_name(std::string_view name);
