// The system calls a decoding process may make.
#pragma once

namespace quorwind::mci {

/// Sets no_new_privs and installs a seccomp filter that lets this process
/// read, seek and close |media_fd|, write |pipe_fd|, manage its memory (never
/// executable), wait on futexes, read clocks and exit. Every other call fails
/// with EPERM. Returns false when the filter could not be installed.
bool RestrictToDecoding(int media_fd, int pipe_fd);

}  // namespace quorwind::mci
