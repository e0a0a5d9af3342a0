// Entry point of the ZMODEM send engine: sends files to a ZMODEM receiver over a descriptor that
// the caller owns and keeps open (a tty or a connected socket). The engine writes only to that
// descriptor, never to the process's standard streams, and restores the descriptor's flags and
// tty settings before it returns. It blocks the calling thread; the call-backs run on it.
#pragma once

// Progress before each data subpacket; returning false aborts the file.
using zmodem_tick_fn = bool (*)(const char* name, long transferred, long total, long bps, int minutesLeft,
                                int secondsLeft, void* user);
// A file the receiver accepted completely (result 0).
using zmodem_complete_fn = void (*)(const char* name, int result, unsigned size, long date, void* user);

// Sends `count` files in order. timeoutSec bounds each wait for the receiver during the transfer
// (negative: wait without limit); the wait for the receiver to start is 3 x 10 seconds whatever
// it is. minBps and flags have no effect. True when every file was sent or skipped by the
// receiver; false when a file could not be opened, the receiver cancelled, stopped answering or
// went away, or memory ran out.
bool zmodem_send(int fd, int count, const char* const* files, zmodem_tick_fn tick,
                 zmodem_complete_fn complete, long minBps, int flags, void* user, int timeoutSec);
