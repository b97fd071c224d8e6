// A process's life on the clock: it joins at load (taking the slot kept for
// it, or its own after an exec), holds a lock on a byte of the clock's file
// while it lives (carried through exec), and lets its slots go at exit.
#include "interpose.h"

namespace kelvex::clock {

bool is_clock_file(int fd)
{
    struct stat st {};
    return fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == g_seg_dev && st.st_ino == g_seg_ino;
}

// The life lock is carried through exec (its descriptor kept open), so that
// the simulator never sees this process without one while the new image
// loads: however long that takes under load, the clock waits for it.
void before_exec()
{
    if (!active() || t_self == nullptr) {
        return;
    }
    if (!is_clock_file(g_life_fd)) {
        // Closed by the mission (a child closing every descriptor): anew.
        g_life_fd = hold_life(g_seg, g_seg_path, &g_life);
        t_self->life.store(g_life);
    }
    if (g_life_fd >= 0) {
        fcntl(g_life_fd, F_SETFD, 0);
    }
    set_state(t_self, state_of(t_self));
}

void exec_failed()
{
    if (active() && g_life_fd >= 0) {
        fcntl(g_life_fd, F_SETFD, FD_CLOEXEC);
    }
}

// The life the image before us carried through exec: ours is held now.
void close_carried_lives()
{
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) {
        return;
    }
    const int own = dirfd(d);
    while (const dirent* e = readdir(d)) {
        const int fd = atoi(e->d_name);
        if (e->d_name[0] != '.' && fd != own && fd != g_life_fd && is_clock_file(fd) &&
            (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) {
            close(fd);
        }
    }
    closedir(d);
}

// After an exec the slots of the image before us are ours: keep one (the
// clock stays held throughout), let the other threads' go.
void take_slots_of_our_image(pid_t me, pid_t tid)
{
    const uint32_t top = g_seg->top.load();
    for (uint32_t i = 0; i < top; ++i) {
        Party& p = g_seg->parties[i];
        const State s = state_of(&p);
        if (s == State::Free || s == State::Pending || s == State::ExitHold || p.pid.load() != me) {
            continue;
        }
        if (t_self == nullptr) {
            t_self = &p;
            p.tid.store(tid);
            p.life.store(g_life);
            set_state(&p, State::Running);
        } else {
            release(&p);
        }
    }
}

// A process started by posix_spawn() or system() takes the slot its parent
// kept for it; the mission's first process, the one the simulator kept.
void take_kept_slot(pid_t me, pid_t tid)
{
    const pid_t parent = getppid();
    const uint32_t top = g_seg->top.load();
    for (uint32_t i = 0; i < top && t_self == nullptr; ++i) {
        Party& p = g_seg->parties[i];
        uint32_t pending = static_cast<uint32_t>(State::Pending);
        const pid_t owner = p.owner.load();
        if ((owner == parent || owner == kAnyParent) &&
            p.state.compare_exchange_strong(pending, static_cast<uint32_t>(State::Running))) {
            p.pid.store(me);
            p.tid.store(tid);
            p.life.store(g_life);
            t_self = &p;
        }
    }
}

bool map_clock(const char* path)
{
    set_real_clock(next_fn<ClockFn>("clock_gettime"));
    snprintf(g_seg_path, sizeof g_seg_path, "%s", path);
    const char* preload = getenv("LD_PRELOAD");
    snprintf(g_preload, sizeof g_preload, "%s", preload ? preload : "");
    g_seg = map_segment(path);
    if (!g_seg) {
        char msg[700];
        snprintf(msg, sizeof msg, "kelvex-sim: the run's clock %s cannot be mapped (%s)\n", path,
                 strerror(errno));
        (void)!write(2, msg, strlen(msg));
        _exit(125);
    }
    const char* role = getenv("KELVEX_CLOCK_ROLE");
    g_observer = role && strcmp(role, "observer") == 0;
    return !g_observer;
}

__attribute__((constructor)) static void start()
{
    const char* path = getenv("KELVEX_CLOCK");
    if (!path || !*path || !map_clock(path)) {
        return;
    }
    pthread_key_create(&g_key, thread_gone);
    g_life_fd = hold_life(g_seg, g_seg_path, &g_life);
    struct stat st {};
    if (fstat(g_life_fd, &st) == 0) {
        g_seg_dev = st.st_dev;
        g_seg_ino = st.st_ino;
    }
    const pid_t me = getpid();
    const pid_t tid = my_tid();
    take_slots_of_our_image(me, tid);
    take_kept_slot(me, tid);
    if (self()) {
        pthread_setspecific(g_key, t_self);
    }
    close_carried_lives();
}

// Our life lock goes with this image: a fresh look from now on, so that the
// simulator does not take the new image's start-up for our end.
// At exit the process's slots go; the main one is held for a parent that
// waits for us, so the clock cannot move between our end and its waking.
void leave()
{
    if (!active()) {
        return;
    }
    const pid_t me = getpid();
    const pid_t parent = getppid();
    // A parent of ours that waits for us, or the simulator (no party: it
    // started the mission and lets go when it has seen the end).
    bool parent_party = false;
    bool parent_waits = false;
    const uint32_t top = g_seg->top.load();
    for (uint32_t i = 0; i < top; ++i) {
        Party& p = g_seg->parties[i];
        const State s = state_of(&p);
        if (p.pid.load() == parent && s != State::Free && s != State::Pending && s != State::ExitHold) {
            parent_party = true;
            parent_waits = parent_waits || s == State::Passive;
        }
    }
    parent_waits = parent_waits || !parent_party;
    for (uint32_t i = 0; i < top; ++i) {
        Party& p = g_seg->parties[i];
        const State s = state_of(&p);
        if (p.pid.load() != me || s == State::Free || s == State::Pending || s == State::ExitHold) {
            continue;
        }
        if (&p == t_self && parent_waits) {
            p.owner.store(parent);
            set_state(&p, State::ExitHold);
        } else {
            release(&p);
        }
    }
    t_self = nullptr;
    g_seg = nullptr;  // nothing after this point follows the clock
}

__attribute__((destructor)) static void stop() { leave(); }
}  // namespace kelvex::clock
