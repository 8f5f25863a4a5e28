// Opening a directory of the served tree for writing into it, without ever
// leaving the root: not through "..", not through a symbolic link that leads
// out of it, not through a link of /proc.
//
// openat2 with RESOLVE_BENEATH does this in one call. Where it is missing
// (ENOSYS: an old kernel) or refused (EPERM: the seccomp filter of an older
// container runtime), every step is opened on its own without following any
// symbolic link, which is stricter still: a link that stays inside the root
// is refused too.
#pragma once

#include <string>

// Opens the directory `resolved` (a path relative to `root`, with no ".."
// left in it) as an O_PATH descriptor the caller closes. -1, with errno,
// when it cannot.
int open_beneath_root(const std::string& root, const std::string& resolved);

// For tests only; the server never sets it. Not 0: openat2 is taken as
// refused with this errno, so the step-by-step walk runs on any kernel.
inline int beneath_root_refuse_openat2 = 0;
