// Processes and threads the mission starts share its clock: each has its
// slot before it exists, and a program it execs gets the clock again even
// when the mission dropped it from the environment.
#include "interpose.h"

using namespace kelvex::clock;

namespace kelvex::clock {
namespace {
// An environment for a program we start: ours may have been dropped by the
// mission (env={} in Python); virtual time must reach every process.
struct Env {
    static constexpr size_t kMaxVars = 4000;
    char** envp;
    // More variables than the copy holds and no clock among them: the program
    // would start off the clock, so it is not started at all (E2BIG).
    bool too_big = false;
    char* store[kMaxVars + 3];
    char clock_var[600];
    char preload_var[1100];
    explicit Env(char* const* given)
    {
        envp = const_cast<char**>(given);
        if (!active() || given == nullptr) {
            return;
        }
        size_t n = 0;
        bool has_clock = false;
        bool has_preload = false;
        for (; n < kMaxVars && given[n]; ++n) {
            has_clock = has_clock || strncmp(given[n], "KELVEX_CLOCK=", 13) == 0;
            has_preload = has_preload || (strncmp(given[n], "LD_PRELOAD=", 11) == 0 &&
                                          strstr(given[n], g_preload) != nullptr);
        }
        if (has_clock && has_preload) {
            return;
        }
        if (given[n]) {
            too_big = true;
            return;
        }
        size_t k = 0;
        for (size_t i = 0; i < n; ++i) {
            if (strncmp(given[i], "LD_PRELOAD=", 11) != 0 && strncmp(given[i], "KELVEX_CLOCK=", 13) != 0) {
                store[k++] = given[i];
            }
        }
        snprintf(clock_var, sizeof clock_var, "KELVEX_CLOCK=%s", g_seg_path);
        snprintf(preload_var, sizeof preload_var, "LD_PRELOAD=%s", g_preload);
        store[k++] = clock_var;
        store[k++] = preload_var;
        store[k] = nullptr;
        envp = store;
    }
};

struct SpawnSlot {
    Party* slot = nullptr;
    SpawnSlot()
    {
        if (self()) {
            slot = claim(State::Pending, getpid(), my_tid(), getpid());
        }
    }
    // The child took it (or never will).
    void started(pid_t child)
    {
        if (slot && state_of(slot) == State::Pending) {
            slot->pid.store(child);
        }
    }
    void failed()
    {
        uint32_t pending = static_cast<uint32_t>(State::Pending);
        if (slot && slot->state.compare_exchange_strong(pending, static_cast<uint32_t>(State::Running))) {
            release(slot);
        }
    }
};

// Starts a program on the clock: its environment carries the clock and its
// slot is claimed before it exists. spawn(&child, envp) is the real call.
template <typename Spawn>
int spawn_on_clock(pid_t* pid, char* const envp[], Spawn spawn)
{
    Env env(envp);
    if (env.too_big) {
        return E2BIG;
    }
    SpawnSlot slot;
    pid_t child = 0;
    const int r = spawn(&child, env.envp);
    if (r == 0) {
        slot.started(child);
        if (pid) *pid = child;
    } else {
        slot.failed();
    }
    return r;
}
}  // namespace
}  // namespace kelvex::clock

#pragma GCC visibility push(default)
extern "C" {

// ---- processes and threads ---------------------------------------------------------

pid_t fork(void)
{
    REAL(fork);
    Party* me = self();
    if (me == nullptr) {
        return real_fork();
    }
    // The child's slot exists (and holds the clock) before the child does.
    Party* child = claim(State::Running, getpid(), my_tid(), 0);
    const pid_t pid = real_fork();
    if (pid == 0) {
        t_self = child;
        forget_hand_overs();
        // The parent's life lock is shared with us through the inherited
        // descriptor: ours must end with us alone.
        if (g_life_fd >= 0) {
            close(g_life_fd);
        }
        g_life_fd = hold_life(g_seg, g_seg_path, &g_life);
        if (child) {
            child->life.store(g_life);
            child->pid.store(getpid());
            child->tid.store(my_tid());
            pthread_setspecific(g_key, child);
        }
        return 0;
    }
    if (pid < 0) {
        const int err = errno;
        release(child);
        errno = err;
    } else if (child) {
        child->pid.store(pid);
        child->tid.store(pid);
    }
    return pid;
}

// vfork's child shares our memory until it execs; a plain fork is a correct
// stand-in and lets the child take its own slot.
pid_t vfork(void) { return fork(); }

int system(const char* command)
{
    REAL(system);
    if (command == nullptr || self() == nullptr) {
        return real_system(command);
    }
    SpawnSlot slot;
    const int r = passive([&] { return real_system(command); });
    slot.failed();
    return r;
}

FILE* popen(const char* command, const char* mode)
{
    REAL(popen);
    SpawnSlot slot;
    FILE* f = real_popen(command, mode);
    if (f == nullptr) {
        slot.failed();
    }
    return f;
}

int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* fa,
                const posix_spawnattr_t* attr, char* const argv[], char* const envp[])
{
    REAL(posix_spawn);
    if (refuse_static(path)) {
        return ENOEXEC;
    }
    return spawn_on_clock(pid, envp, [&](pid_t* child, char** e) {
        return real_posix_spawn(child, path, fa, attr, argv, e);
    });
}

int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* fa,
                 const posix_spawnattr_t* attr, char* const argv[], char* const envp[])
{
    REAL(posix_spawnp);
    char path[4096];
    if (search_path(file, path, sizeof path) && refuse_static(path)) {
        return ENOEXEC;
    }
    return spawn_on_clock(pid, envp, [&](pid_t* child, char** e) {
        return real_posix_spawnp(child, file, fa, attr, argv, e);
    });
}

int execve(const char* path, char* const argv[], char* const envp[])
{
    REAL(execve);
    if (refuse_static(path)) {
        return -1;
    }
    Env env(envp);
    if (env.too_big) {
        errno = E2BIG;
        return -1;
    }
    before_exec();
    const int r = real_execve(path, argv, env.envp);
    exec_failed();
    return r;
}

int execv(const char* path, char* const argv[]) { return execve(path, argv, environ); }

int execvpe(const char* file, char* const argv[], char* const envp[])
{
    REAL(execvpe);
    char path[4096];
    if (search_path(file, path, sizeof path) && refuse_static(path)) {
        return -1;
    }
    Env env(envp);
    if (env.too_big) {
        errno = E2BIG;
        return -1;
    }
    before_exec();
    const int r = real_execvpe(file, argv, env.envp);
    exec_failed();
    return r;
}

int execvp(const char* file, char* const argv[]) { return execvpe(file, argv, environ); }

}  // extern "C"

namespace {
// execl's variadic arguments as an array.
template <typename F>
int with_list(const char* arg, va_list ap, bool with_env, F&& exec)
{
    char* argv[1024];
    int n = 0;
    argv[n++] = const_cast<char*>(arg);
    while (arg && n < 1023) {
        arg = va_arg(ap, const char*);
        argv[n++] = const_cast<char*>(arg);
    }
    argv[n] = nullptr;
    char* const* envp = with_env ? va_arg(ap, char* const*) : environ;
    return exec(argv, envp);
}
}  // namespace

extern "C" {

int execl(const char* path, const char* arg, ...)
{
    va_list ap;
    va_start(ap, arg);
    const int r = with_list(arg, ap, false, [&](char** a, char* const* e) { return execve(path, a, e); });
    va_end(ap);
    return r;
}

int execle(const char* path, const char* arg, ...)
{
    va_list ap;
    va_start(ap, arg);
    const int r = with_list(arg, ap, true, [&](char** a, char* const* e) { return execve(path, a, e); });
    va_end(ap);
    return r;
}

int execlp(const char* file, const char* arg, ...)
{
    va_list ap;
    va_start(ap, arg);
    const int r = with_list(arg, ap, false, [&](char** a, char* const* e) { return execvpe(file, a, e); });
    va_end(ap);
    return r;
}

pid_t waitpid(pid_t pid, int* status, int options)
{
    REAL(waitpid);
    if (!active() || (options & WNOHANG)) {
        return real_waitpid(pid, status, options);
    }
    return passive([&] { return real_waitpid(pid, status, options); });
}

pid_t wait(int* status)
{
    REAL(waitpid);
    if (!active()) {
        return real_waitpid(-1, status, 0);
    }
    return passive([&] { return real_waitpid(-1, status, 0); });
}

pid_t wait4(pid_t pid, int* status, int options, struct rusage* ru)
{
    REAL(wait4);
    if (!active() || (options & WNOHANG)) {
        return real_wait4(pid, status, options, ru);
    }
    return passive([&] { return real_wait4(pid, status, options, ru); });
}

pid_t wait3(int* status, int options, struct rusage* ru)
{
    REAL(wait3);
    if (!active() || (options & WNOHANG)) {
        return real_wait3(status, options, ru);
    }
    return passive([&] { return real_wait3(status, options, ru); });
}

int waitid(idtype_t type, id_t id, siginfo_t* info, int options)
{
    REAL(waitid);
    if (!active() || (options & WNOHANG)) {
        return real_waitid(type, id, info, options);
    }
    return passive([&] { return real_waitid(type, id, info, options); });
}

}  // extern "C"

namespace {
struct ThreadStart {
    void* (*fn)(void*);
    void* arg;
    Party* slot;
};

void* thread_trampoline(void* a)
{
    ThreadStart start = *static_cast<ThreadStart*>(a);
    delete static_cast<ThreadStart*>(a);
    if (start.slot) {
        t_self = start.slot;
        start.slot->tid.store(my_tid());
        pthread_setspecific(g_key, start.slot);
        thread_started(start.slot, pthread_self());
    }
    return start.fn(start.arg);
}
}  // namespace

extern "C" {

int pthread_create(pthread_t* t, const pthread_attr_t* attr, void* (*fn)(void*), void* arg)
{
    REAL(pthread_create);
    if (self() == nullptr) {
        return real_pthread_create(t, attr, fn, arg);
    }
    // The thread's slot holds the clock from now, not from its first call.
    Party* slot = claim(State::Running, getpid(), my_tid(), 0);
    if (slot) {
        thread_starting(slot);
    }
    auto* start = new ThreadStart{fn, arg, slot};
    const int r = real_pthread_create(t, attr, thread_trampoline, start);
    if (r != 0) {
        release(start->slot);
        delete start;
    } else if (slot) {
        // Known by its pthread_t before it runs: a join at once waits for it.
        thread_started(slot, *t);
    }
    return r;
}

int pthread_join(pthread_t t, void** ret)
{
    REAL(pthread_join);
    Party* p = active() ? self() : nullptr;
    if (p == nullptr) {
        return real_pthread_join(t, ret);
    }
    const int saved = errno;
    release_exit_holds();
    // A thread of ours on the clock marks us as it ends; one that has ended
    // already (or marked us) is gone in a moment, and we hold the clock till then.
    arm(p, reinterpret_cast<const void*>(t));
    if (thread_on_clock(t)) {
        go_passive(p);
    }
    const int r = real_pthread_join(t, ret);
    disarm(p, reinterpret_cast<const void*>(t), false);
    release_exit_holds();
    errno = saved;
    return r;
}

void _exit(int status)
{
    REAL(_exit);
    leave();
    real__exit(status);
    __builtin_unreachable();
}

}  // extern "C"
#pragma GCC visibility pop
