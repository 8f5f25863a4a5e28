// Small platform helpers shared by the engine and the main loop.
#pragma once

#include <cstddef>

// Sets the descriptor's status flags outright: O_NONBLOCK alone when
// `enable` is true, no status flag at all when it is false.
// Returns false when fcntl failed (an invalid descriptor, for example).
bool enable_nonblocking_mode(int fd, bool enable);

// Pauses the calling thread for `milliseconds`. A signal ends the pause early;
// it is not resumed.
void Sleep(unsigned long milliseconds);

// Nanoseconds of the monotonic clock, for measuring intervals: unlike the
// wall clock it never jumps when the system time is set.
long long monotonic_ns();

// Writes the whole text with as few write(2) calls as the descriptor allows
// (a call cut short by a signal is made again); the number of bytes that
// reached it (errno says why the rest did not).
size_t write_whole(int fd, const char* text, size_t length);
