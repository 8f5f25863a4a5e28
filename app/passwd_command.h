// `websrv --passwd FILE USER`: sets a user's password in a password file.
//
// USER's line is added, or the line USER has is replaced where it stands (a
// second line of USER, which the file would not take, goes). Comments, blank
// lines and every other line stay as they were, byte for byte and in order.
// The file is never half written: the new text goes to a new file in the
// same directory, created exclusively, with the old file's mode and owner
// (0600 for a new file), flushed to the disk and renamed over FILE; a
// symbolic link is followed, and stays. Two runs at once on one file take
// turns.
#pragma once

#include <string>

// Sets `user`'s password to `password` in the password file `file_name`.
// Returns the exit status, with one line for standard error in `told`: 0
// after "added ..." or "replaced ..."; 2 for a user name with ":" or a
// control character, beginning with "#" or empty, and for an empty password;
// 1 when the file cannot be read, is not a password file, or cannot be
// written (then it is left as it was).
int set_password(const std::string& file_name, const std::string& user, const std::string& password,
                 std::string* told);
