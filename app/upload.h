// Files that authenticated clients send: the body of a PUT stored as one file,
// or each file part of a multipart/form-data POST stored in a directory.
//
// An upload takes the body as it arrives, in pieces of any size, and never
// holds more than a few KiB of it: each file is written to a new temporary
// file (a hidden name, created exclusively, mode 0644 less the umask) in its
// target directory, and the files are renamed into place only once the whole
// body has come, never over an existing file unless replacing is allowed: a
// form refused half-way stores none of its files. Whatever has not been
// renamed into place is removed when the upload ends or is destroyed, so a
// client that goes away, times out or sends something wrong leaves nothing
// behind. The caller finds the target and checks the request first; this
// unit decides nothing about paths.
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
        failed,     // refused: `status()` tells why; nothing of it is left
    };

    // A PUT: `length` bytes become the file `name` in the directory `dir`
    // (a path ending in "/"). `location` is what the 201 answer names.
    static std::unique_ptr<upload> single_file(const std::string& dir, const std::string& name,
                                               off_t length, bool replace, std::string location);
    // A multipart/form-data POST of `length` bytes whose request head is
    // `head`: each file part becomes a file in `dir` under its file name
    // (parts without one are skipped). `location` is the directory as the
    // client named it, ending in "/": the 201 answer names the first file
    // in it.
    static std::unique_ptr<upload> form_files(const std::string& dir, std::string_view head,
                                              off_t length, bool replace, std::string location);

    virtual ~upload();
    upload(const upload&) = delete;
    upload& operator=(const upload&) = delete;

    // Takes the next `size` bytes of the body. Bytes beyond the announced
    // length fail the upload: a client must not send more than it announced.
    state take(const char* data, size_t size);
    state current() const { return now; }
    off_t missing() const { return length - received; }

    // The answer's status line text ("201 Created", "409 Conflict", ...),
    // and for a stored upload the Location of the new file.
    const char* status() const { return answer_status; }
    const std::string& location() const { return stored_location; }
    // What was stored, for the log: "name (N bytes)", names joined by ", ".
    const std::string& stored_files() const { return stored_text; }

  protected:
    upload(std::string dir, off_t length, bool replace, std::string location);

    // The body's bytes in order; false fails the upload with `answer_status` set.
    virtual bool consume(const char* data, size_t size) = 0;
    // The last byte has come; false fails the upload with `answer_status` set.
    virtual bool finish() = 0;

    // A file being written: created by begin_file, completed by end_file,
    // renamed into place with the others once the whole body has come.
    bool begin_file(const std::string& name);
    bool write_file(const char* data, size_t size);
    bool end_file();
    void fail(const char* status);
    bool file_open() const { return temp_fd != -1; }

    std::string dir;
    bool replace;
    std::string base_location;

  private:
    off_t length;
    off_t received = 0;
    state now = state::receiving;
    const char* answer_status = nullptr;
    std::string stored_location;
    std::string stored_text;

    int temp_fd = -1;
    std::string temp_name;  // in `dir`; empty when there is none
    std::string file_name;
    off_t file_size = 0;
    // Files written in full, still under their temporary names: renamed
    // into place together once the body is complete.
    struct complete_file {
        std::string temp_name;  // empty once renamed
        std::string name;
        off_t size;
    };
    std::vector<complete_file> complete;

    // Whether a file `name` would be refused as existing (or as a second of this upload).
    bool name_taken(const std::string& name) const;
    bool place_files();
    void remove_temp();
};

// Whether `name` may be the name of an uploaded file: not empty, not "." or
// "..", and without "/", "\" or NUL.
bool valid_upload_name(std::string_view name);
