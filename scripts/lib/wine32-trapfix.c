/* Preloaded into every i386 program of the 32-bit test root: gives Wine's fault
 * handlers the trap number of a page fault, which qemu-i386 leaves at -1.
 *
 * Wine's i386 SIGSEGV handler reads the trap number from the signal context to
 * tell an access violation from other faults; with -1 it reports
 * EXCEPTION_ILLEGAL_INSTRUCTION without an address. This wraps the SIGSEGV and
 * SIGBUS handlers that a program installs and writes trap number 14 (page
 * fault) for a fault that the kernel's code says was about memory. Whether the
 * access was a read or a write is not known: it is reported as a write.
 *
 * Built with the machine's `gcc -m32 -nostdlib` against the root's own
 * libc.so.6 (scripts/lib/wine32-root.sh), so no i386 development files are
 * needed. Listed in the root's /etc/ld.so.preload. */

typedef void (*signal_action)(int, void *, void *);

/* glibc's i386 struct sigaction: handler, sigset_t (128 bytes), flags, restorer. */
struct glibc_sigaction {
    void *handler;
    unsigned long mask[32];
    int flags;
    void (*restorer)(void);
};

extern void *dlsym(void *, const char *);
#define NEXT_LIBRARY ((void *)-1l)

enum {
    SIGNAL_BUS = 7,
    SIGNAL_SEGV = 11,
    FLAG_SIGINFO = 4,
    /* si_code values of a memory fault: SEGV_MAPERR, SEGV_ACCERR. */
    CODE_MAPPING = 1,
    CODE_ACCESS = 2,
    /* i386 ucontext: flags (4), link (4), stack (12), then gregs[19]. */
    GREGS_OFFSET = 20,
    REG_TRAP_NUMBER = 12,
    REG_ERROR_CODE = 13,
    TRAP_PAGE_FAULT = 14,
    ERROR_USER_WRITE = 4 | 2
};

static signal_action program_segv, program_bus;

static void fixed_handler(int signal, void *info, void *context) {
    int *gregs = (int *)((char *)context + GREGS_OFFSET);
    int code = ((int *)info)[2];
    if (gregs[REG_TRAP_NUMBER] == -1 && (code == CODE_MAPPING || code == CODE_ACCESS)) {
        gregs[REG_TRAP_NUMBER] = TRAP_PAGE_FAULT;
        gregs[REG_ERROR_CODE] = ERROR_USER_WRITE;
    }
    signal_action handler = signal == SIGNAL_SEGV ? program_segv : program_bus;
    if (handler)
        handler(signal, info, context);
}

/* The C library's sigaction, with fixed_handler put in front of a program's
 * SA_SIGINFO handler for SIGSEGV and SIGBUS; the old handler it reports is the
 * program's own. */
int sigaction(int signal, const struct glibc_sigaction *action, struct glibc_sigaction *old) {
    static int (*real)(int, const struct glibc_sigaction *, struct glibc_sigaction *);
    if (!real)
        real = (int (*)(int, const struct glibc_sigaction *, struct glibc_sigaction *))dlsym(NEXT_LIBRARY,
                                                                                             "sigaction");
    if ((signal == SIGNAL_SEGV || signal == SIGNAL_BUS) && action && (action->flags & FLAG_SIGINFO) &&
        action->handler != (void *)fixed_handler) {
        signal_action *slot = signal == SIGNAL_SEGV ? &program_segv : &program_bus;
        signal_action previous = *slot;
        struct glibc_sigaction wrapped = *action;
        *slot = (signal_action)action->handler;
        wrapped.handler = (void *)fixed_handler;
        int result = real(signal, &wrapped, old);
        if (old && old->handler == (void *)fixed_handler)
            old->handler = (void *)previous;
        return result;
    }
    return real(signal, action, old);
}
