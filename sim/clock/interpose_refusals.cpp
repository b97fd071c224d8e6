// What virtual time cannot follow is refused at once, naming the call and
// --clock real: timers that signal on the wall clock, and programs with no
// dynamic loader to preload the clock into.
#include "interpose.h"

namespace kelvex::clock {

void refuse_text(const char* what)
{
    char msg[480];
    char exe[256] = "";
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[n > 0 ? n : 0] = 0;
    snprintf(msg, sizeof msg,
             "kelvex-sim: virtual time cannot follow %s (in %s); fly this mission with "
             "--clock real\n",
             what, exe);
    REAL(write);
    (void)real_write(2, msg, strlen(msg));
    if (g_seg->refused.exchange(1) == 0) {
        strncpy(g_seg->refusal, msg, sizeof g_seg->refusal - 1);
        // The simulator stops the run as soon as it sees this.
        g_seg->sim_asleep.store(1);
        ring();
    }
}

int refuse(const char* what)
{
    refuse_text(what);
    errno = ENOTSUP;
    return -1;
}

bool statically_linked(const char* path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    Elf64_Ehdr eh{};
    bool is_static = false;
    if (pread(fd, &eh, sizeof eh, 0) == static_cast<ssize_t>(sizeof eh) &&
        memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 && eh.e_ident[EI_CLASS] == ELFCLASS64 &&
        (eh.e_type == ET_EXEC || eh.e_type == ET_DYN)) {
        is_static = true;
        for (int i = 0; i < eh.e_phnum; ++i) {
            Elf64_Phdr ph{};
            if (pread(fd, &ph, sizeof ph, static_cast<off_t>(eh.e_phoff + i * eh.e_phentsize)) !=
                static_cast<ssize_t>(sizeof ph)) {
                break;
            }
            if (ph.p_type == PT_INTERP) {
                is_static = false;
                break;
            }
        }
    } else if (memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 && eh.e_ident[EI_CLASS] == ELFCLASS32) {
        is_static = true;  // a 32-bit program cannot load this interposer
    }
    close(fd);
    return is_static;
}

// The program execvp() would run.
bool search_path(const char* file, char* out, size_t size)
{
    if (strchr(file, '/')) {
        snprintf(out, size, "%s", file);
        return true;
    }
    const char* path = getenv("PATH");
    if (!path) {
        path = "/bin:/usr/bin";
    }
    while (*path) {
        const char* end = strchrnul(path, ':');
        snprintf(out, size, "%.*s/%s", static_cast<int>(end - path), path, file);
        if (access(out, X_OK) == 0) {
            return true;
        }
        path = *end ? end + 1 : end;
    }
    return false;
}

bool refuse_static(const char* path)
{
    if (!active() || !statically_linked(path)) {
        return false;
    }
    char what[400];
    snprintf(what, sizeof what, "a statically linked program (%s)", path);
    refuse(what);
    errno = ENOEXEC;
    return true;
}

}  // namespace kelvex::clock

using namespace kelvex::clock;

#pragma GCC visibility push(default)
extern "C" {

// ---- what virtual time cannot follow ---------------------------------------------

int setitimer(int which, const struct itimerval* value, struct itimerval* old)
{
    REAL(setitimer);
    if (active() && value && (value->it_value.tv_sec || value->it_value.tv_usec)) {
        return refuse("setitimer()");
    }
    return real_setitimer(static_cast<__itimer_which_t>(which), value, old);
}

unsigned int alarm(unsigned int seconds)
{
    REAL(alarm);
    if (active() && seconds > 0) {
        refuse("alarm()");
        return 0;
    }
    return real_alarm(seconds);
}

unsigned int ualarm(useconds_t value, useconds_t interval)
{
    REAL(ualarm);
    if (active() && (value > 0 || interval > 0)) {
        refuse("ualarm()");
        return 0;
    }
    return static_cast<unsigned>(real_ualarm(value, interval));
}

int timer_create(clockid_t id, struct sigevent* ev, timer_t* timer)
{
    REAL(timer_create);
    if (active() && follows(id)) {
        return refuse("timer_create()");
    }
    return real_timer_create(id, ev, timer);
}

int timerfd_create(int id, int flags)
{
    REAL(timerfd_create);
    if (active() && follows(id)) {
        return refuse("timerfd_create()");
    }
    return real_timerfd_create(id, flags);
}

}  // extern "C"
#pragma GCC visibility pop
