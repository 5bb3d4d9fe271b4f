/* LD_PRELOAD object for Wine's 32-bit processes: when VORLA_CLOCK holds a decimal count of
   seconds since 1970-01-01 00:00:00 UTC, every read of the wall clock returns exactly that
   second, so a run's stamp and trigger dates are known in advance. Without it, or for any other
   clock (the monotonic ones that timeouts rest on), the kernel answers as usual.

   The setting comes from the process's own environment, not from a file that all processes
   share: the browser that a run starts may still be starting when the next run, at another
   time, begins. Wine starts a child process with its parent's Unix environment (not the Windows
   one, which "set" in a batch file changes), so that browser sees its own run's time, and the
   64-bit processes on the way, which can't load this object, keep the real clock.

   Wine's i386 ntdll reads the time through the 64-bit entry points of glibc (__clock_gettime64
   and friends); the 32-bit ones are answered too for anything built without 64-bit time.
   Freestanding and without a C library of its own: it builds with any gcc that knows -m32, and
   the i386 glibc it is loaded beside need not be there at build time. */

typedef long long i64;

struct timespec64 {
    i64 tv_sec;
    long tv_nsec;
    long padding;
};
struct timespec32 {
    long tv_sec;
    long tv_nsec;
};
struct timeval64 {
    i64 tv_sec;
    i64 tv_usec;
};
struct timeval32 {
    long tv_sec;
    long tv_usec;
};

/* i386 system call numbers. */
enum {
    SYS_clock_gettime = 265,
    SYS_clock_gettime64 = 403,
};

/* The clocks that follow the wall clock: REALTIME, REALTIME_COARSE, REALTIME_ALARM, TAI. */
static int IsWallClock(int clock)
{
    return clock == 0 || clock == 5 || clock == 8 || clock == 11;
}

static long Syscall2(long number, long a, long b)
{
    long result;
    /* ebx is the PIC register; save it by hand rather than name it as an operand. */
    __asm__ volatile("xchg %%ebx, %%edi\n\tint $0x80\n\txchg %%ebx, %%edi"
                     : "=a"(result)
                     : "0"(number), "D"(a), "c"(b)
                     : "memory");
    return result;
}

/* Set once, before the process's own code runs, from the environment the loader hands over. */
static int g_fixed;
static i64 g_seconds;

static const char* ValueOf(char** env, const char* name)
{
    for (; env && *env; ++env) {
        const char* entry = *env;
        const char* want = name;
        while (*want && *entry == *want) {
            ++entry;
            ++want;
        }
        if (!*want && *entry == '=')
            return entry + 1;
    }
    return 0;
}

__attribute__((constructor)) static void ReadSetting(int argc, char** argv, char** env)
{
    (void)argc;
    (void)argv;
    const char* text = ValueOf(env, "VORLA_CLOCK");
    if (!text || !*text)
        return;
    i64 seconds = 0;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9' || seconds > (((i64)1 << 62) / 10))
            return; /* not a plain count: leave the clock alone rather than guess */
        seconds = seconds * 10 + (*text - '0');
    }
    g_seconds = seconds;
    g_fixed = 1;
}

/* errno lives in glibc's thread data; reach it through glibc's own accessor, found when the
   object is loaded. Only a failing kernel call gets here, which no wall-clock read does. */
extern int* __errno_location(void);

/* A raw system call's result: 0, or a negated errno that the C library would have set. */
static int Result(long result)
{
    if (result < 0 && result > -4096) {
        *__errno_location() = (int)-result;
        return -1;
    }
    return 0;
}

int __clock_gettime64(int clock, struct timespec64* out)
{
    if (g_fixed && IsWallClock(clock)) {
        out->tv_sec = g_seconds;
        out->tv_nsec = 0;
        return 0;
    }
    return Result(Syscall2(SYS_clock_gettime64, clock, (long)out));
}

int clock_gettime(int clock, struct timespec32* out)
{
    if (g_fixed && IsWallClock(clock)) {
        out->tv_sec = (long)g_seconds;
        out->tv_nsec = 0;
        return 0;
    }
    return Result(Syscall2(SYS_clock_gettime, clock, (long)out));
}

int __gettimeofday64(struct timeval64* out, void* zone)
{
    struct timespec64 now;
    if (__clock_gettime64(0, &now) != 0)
        return -1;
    if (out) {
        out->tv_sec = now.tv_sec;
        out->tv_usec = now.tv_nsec / 1000;
    }
    (void)zone; /* obsolete; glibc ignores it too */
    return 0;
}

int gettimeofday(struct timeval32* out, void* zone)
{
    struct timespec32 now;
    if (clock_gettime(0, &now) != 0)
        return -1;
    if (out) {
        out->tv_sec = now.tv_sec;
        out->tv_usec = now.tv_nsec / 1000;
    }
    (void)zone;
    return 0;
}

i64 __time64(i64* out)
{
    struct timespec64 now;
    i64 seconds = __clock_gettime64(0, &now) == 0 ? now.tv_sec : -1;
    if (out)
        *out = seconds;
    return seconds;
}

long time(long* out)
{
    struct timespec32 now;
    long seconds = clock_gettime(0, &now) == 0 ? now.tv_sec : -1;
    if (out)
        *out = seconds;
    return seconds;
}
