// The decoding process's allow-list, written with libseccomp.
#include "mci/sandbox/syscall_filter.h"

#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>

#include <cerrno>
#include <initializer_list>

namespace quorwind::mci {

bool RestrictToDecoding(int media_fd, int pipe_fd) {
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  // Denied calls fail rather than kill: a library that probes something
  // (the processor count, a configuration file) carries on without it.
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
  if (!filter) return false;
  const auto media = static_cast<scmp_datum_t>(media_fd);
  const auto pipe = static_cast<scmp_datum_t>(pipe_fd);
  // As libseccomp's SCMP_An macros make them, without C's compound literals.
  const scmp_arg_cmp on_media{0, SCMP_CMP_EQ, media, 0};
  const scmp_arg_cmp not_executable{2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0};
  bool added = true;
  auto allow = [&](int call, std::initializer_list<scmp_arg_cmp> conditions) {
    added = added && seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, call,
                                            static_cast<unsigned>(conditions.size()),
                                            conditions.size() ? conditions.begin() : nullptr) == 0;
  };
  // The media: read, seek, size, close.
  for (int call : {SCMP_SYS(read), SCMP_SYS(pread64), SCMP_SYS(lseek), SCMP_SYS(fstat),
                   SCMP_SYS(newfstatat), SCMP_SYS(close)}) {
    allow(call, {on_media});
  }
  // The frames: written to the pipe.
  allow(SCMP_SYS(write), {scmp_arg_cmp{0, SCMP_CMP_EQ, pipe, 0}});
  // Memory, never executable.
  allow(SCMP_SYS(mmap), {not_executable});
  allow(SCMP_SYS(mprotect), {not_executable});
  for (int call :
       {SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(brk), SCMP_SYS(madvise),
        // Locks, clocks and the end.
        SCMP_SYS(futex), SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres), SCMP_SYS(gettimeofday),
        SCMP_SYS(rt_sigreturn), SCMP_SYS(exit), SCMP_SYS(exit_group)}) {
    allow(call, {});
  }
#ifdef QUORWIND_SANITIZE
  // The sanitizers' runtime tests memory through a pipe of its own and
  // writes its reports to standard error: allowed in their builds only.
  allow(SCMP_SYS(pipe2), {});
  allow(SCMP_SYS(write), {scmp_arg_cmp{0, SCMP_CMP_NE, pipe, 0}});
  allow(SCMP_SYS(getpid), {});
  allow(SCMP_SYS(sigaltstack), {});
#endif
  const bool loaded = added && seccomp_load(filter) == 0;
  seccomp_release(filter);
  return loaded;
}

}  // namespace quorwind::mci
