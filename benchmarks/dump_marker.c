/* The dump marker of the instruction mode of the benchmarks, preloaded into
 * the measured interpreter (LD_PRELOAD): it stands in for the C library's
 * getppid(), so that each call of os.getppid() makes callgrind write a dump
 * of its counters, through a client request, and then answers as getppid()
 * does.  The measured process is the same as without it, and the counting
 * needs no symbol of the interpreter, which a distribution's build strips.
 * Outside valgrind the request does nothing. */
#include <sys/syscall.h>
#include <unistd.h>

#include <valgrind/callgrind.h>

pid_t getppid(void)
{
    CALLGRIND_DUMP_STATS;
    return (pid_t)syscall(SYS_getppid);
}
