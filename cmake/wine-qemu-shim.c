/* Preloaded into 32-bit Wine when it runs under qemu-user (machines that cannot run 32-bit code).
   It makes three things behave as the kernel does, which the emulator does not:
   - mmap's MAP_FIXED_NOREPLACE (the emulator takes it as a hint and maps elsewhere);
   - the trap number in signal frames (the emulator leaves it at -1);
   - per-thread segment descriptors: the emulator keeps one global descriptor table for all threads,
     so reloading a thread-area selector gives every thread the base of the last thread that set it.
     Wine is made to use local descriptors for its TEB selector, and each thread's C library TLS
     selector is moved to a local descriptor of its own at its first signal. */
typedef unsigned int size_t;
extern int* __errno_location(void);
extern void* dlsym(void*, const char*);
#define RTLD_NEXT ((void*)-1)
#define MAP_FIXED_NOREPLACE 0x100000

static long sys6(long nr, long a, long b, long c, long d, long e, long f) {
  long blk[2] = {f, nr};
  long ret;
  __asm__ volatile("push %%ebp\n\tmov 0(%%eax), %%ebp\n\tmov 4(%%eax), %%eax\n\tint $0x80\n\tpop %%ebp"
                   : "=a"(ret)
                   : "a"(blk), "b"(a), "c"(b), "d"(c), "S"(d), "D"(e)
                   : "memory");
  return ret;
}

static void* do_mmap(void* addr, size_t len, int prot, int flags, int fd, unsigned long long off) {
  if (off & 0xfff) {
    *__errno_location() = 22;
    return (void*)-1;
  }
  long r = sys6(192, (long)addr, (long)len, prot, flags & ~MAP_FIXED_NOREPLACE, fd, (long)(off >> 12));
  if ((unsigned long)r > 0xfffff000UL) {
    *__errno_location() = (int)-r;
    return (void*)-1;
  }
  if ((flags & MAP_FIXED_NOREPLACE) && (void*)r != addr) {
    sys6(91, r, (long)len, 0, 0, 0, 0);
    *__errno_location() = 17;
    return (void*)-1;
  }
  return (void*)r;
}
__attribute__((visibility("default"))) void* mmap(void* a, size_t l, int p, int f, int fd, long o) {
  return do_mmap(a, l, p, f, fd, (unsigned long long)(unsigned long)o);
}
__attribute__((visibility("default"))) void* mmap64(void* a, size_t l, int p, int f, int fd, long long o) {
  return do_mmap(a, l, p, f, fd, (unsigned long long)o);
}

/* Wine asks for a thread-area descriptor (entry -1) for its TEB selector; refusing it makes Wine
   give each thread a local descriptor. The C library's own request does not come through here. */
__attribute__((visibility("default"))) long syscall(long nr, long a, long b, long c, long d, long e, long f) {
  static long (*real)(long, long, long, long, long, long, long);
  if (nr == 243 && a && *(int*)a == -1) {
    *__errno_location() = 38;
    return -1;
  }
  if (!real) real = (long (*)(long, long, long, long, long, long, long))dlsym(RTLD_NEXT, "syscall");
  return real(nr, a, b, c, d, e, f);
}

struct user_desc {
  unsigned int entry_number, base_addr, limit;
  unsigned int
      flags; /* seg_32bit:1 contents:2 read_exec_only:1 limit_in_pages:1 seg_not_present:1 useable:1 */
};
static volatile int next_entry = 8191;

/* Gives the interrupted thread a local descriptor for its C library TLS base. */
static void move_tls_to_ldt(unsigned int* gregs) {
  unsigned int gs = gregs[0] & 0xffff;
  if (gs == 0 || (gs & 4)) return;
  unsigned int base;
  __asm__ volatile("movl %%gs:0, %0" : "=r"(base));
  int entry = __sync_fetch_and_sub(&next_entry, 1);
  if (entry < 4096) return;
  struct user_desc d = {(unsigned int)entry, base, 0xfffff, 1 | (1 << 4) | (1 << 6)};
  if (sys6(123, 1, (long)&d, sizeof d, 0, 0, 0) == 0) gregs[0] = (unsigned int)(entry << 3) | 7;
}

typedef void (*action_t)(int, void*, void*);
struct ksiginfo {
  int signo, err, code;
};
static void* saved[65];
static int saved_info[65];

__attribute__((force_align_arg_pointer)) static void relay(int sig, void* info, void* uc) {
  unsigned int* gregs = (unsigned int*)((char*)uc + 20);
  int code = ((struct ksiginfo*)info)->code;
  if (gregs[12] == 0xffffffffu) {
    switch (sig) {
      case 11:
        gregs[12] = code == 0x80 ? 13 : 14;
        break; /* SI_KERNEL: general protection */
      case 4:
        gregs[12] = 6;
        break;
      case 7:
        gregs[12] = 17;
        break;
      case 8:
        gregs[12] = code == 1 ? 0 : code == 2 ? 4 : 16;
        break;
      case 5:
        gregs[12] = code == 2 ? 1 : 3;
        break;
    }
  }
  if (saved_info[sig])
    ((action_t)saved[sig])(sig, info, uc);
  else
    ((void (*)(int))saved[sig])(sig);
  move_tls_to_ldt(gregs);
}

struct ksigaction {
  void* handler;
  unsigned int mask[32];
  int flags;
  void* restorer;
};
__attribute__((visibility("default"))) int sigaction(int sig, const struct ksigaction* act,
                                                     struct ksigaction* old) {
  static int (*real)(int, const struct ksigaction*, struct ksigaction*);
  if (!real) real = (int (*)(int, const struct ksigaction*, struct ksigaction*))dlsym(RTLD_NEXT, "sigaction");
  if (sig <= 0 || sig >= 65) return real(sig, act, old);
  void* before = saved[sig];
  int before_info = saved_info[sig];
  int r;
  if (act && act->handler != (void*)0 && act->handler != (void*)1 && act->handler != (void*)relay) {
    struct ksigaction copy = *act;
    saved[sig] = act->handler;
    saved_info[sig] = (act->flags & 4) != 0;
    copy.handler = (void*)relay;
    copy.flags |= 4;
    r = real(sig, &copy, old);
  } else {
    r = real(sig, act, old);
  }
  if (r == 0 && old && old->handler == (void*)relay) {
    old->handler = before;
    if (!before_info) old->flags &= ~4;
  }
  return r;
}
