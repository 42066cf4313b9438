// Runs a command with io_uring refused, as a kernel without it refuses it:
// io_uring_setup fails with ENOSYS in the command and everything it starts.
#include <errno.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: no_io_uring command [argument ...]\n");
        return 2;
    }
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    // Without privilege, a filter needs no_new_privs; root keeps setuid intact.
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0 &&
        (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)) {
        perror("no_io_uring: seccomp");
        return 2;
    }
    execvp(argv[1], argv + 1);
    perror(argv[1]);
    return 127;
}
