/* Exercises the calls the virtual clock follows, one case per run, and
 * prints what each returned: "name value" lines. The suite runs each case
 * under the clock and without it and holds the two to the same contract. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static long long mono(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

/* Elapsed milliseconds, to a tenth: exact in virtual time, close in real. */
static void took(const char* name, long long since)
{
    printf("%s_ms %.1f\n", name, (mono() - since) / 1e6);
}

static void result(const char* name, long r, int err)
{
    printf("%s %ld %s\n", name, r, r < 0 ? strerror(err) : "ok");
}

/* The call first, then its errno. */
#define R(name, call)                \
    do {                             \
        const long r_ = (long)(call); \
        result(name, r_, errno);     \
    } while (0)

static void on_signal(int s) { (void)s; }

static int line(void)
{
    const char* tty = getenv("KELVEX_TTY");
    int fd = open(tty, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        perror(tty);
        exit(2);
    }
    return fd;
}

static void drain(int fd)
{
    char buf[64];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

static void sleeps(void)
{
    long long t = mono();
    struct timespec d = {1, 500000000};
    R("nanosleep", nanosleep(&d, NULL));
    took("nanosleep", t);
    t = mono();
    d.tv_sec = 0;
    d.tv_nsec = 250000000;
    result("clock_nanosleep", clock_nanosleep(CLOCK_MONOTONIC, 0, &d, NULL), 0);
    took("clock_nanosleep", t);
    t = mono();
    struct timespec abs;
    clock_gettime(CLOCK_MONOTONIC, &abs);
    abs.tv_sec += 1;
    result("clock_nanosleep_abs", clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &abs, NULL), 0);
    took("clock_nanosleep_abs", t);
    t = mono();
    clock_gettime(CLOCK_MONOTONIC, &abs);
    abs.tv_sec -= 1;  /* already past: returns at once */
    result("clock_nanosleep_past", clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &abs, NULL), 0);
    took("clock_nanosleep_past", t);
    t = mono();
    R("usleep", usleep(20000));
    took("usleep", t);
    t = mono();
    result("sleep", (long)sleep(1), 0);
    took("sleep", t);
    t = mono();
    R("poll_none", poll(NULL, 0, 40));
    took("poll_none", t);
    t = mono();
    struct timeval tv = {0, 30000};
    R("select_none", select(0, NULL, NULL, NULL, &tv));
    took("select_none", t);
    printf("select_left_us %ld\n", (long)(tv.tv_sec * 1000000 + tv.tv_usec));
    /* The clocks agree with each other. */
    struct timespec rt, mt;
    struct timeval gt;
    clock_gettime(CLOCK_REALTIME, &rt);
    gettimeofday(&gt, NULL);
    printf("realtime_matches %d\n", gt.tv_sec == rt.tv_sec && time(NULL) == rt.tv_sec);
    clock_gettime(CLOCK_BOOTTIME, &mt);
    struct timespec m2;
    clock_gettime(CLOCK_MONOTONIC, &m2);
    printf("boottime_ge_monotonic_s %d\n", mt.tv_sec <= m2.tv_sec + 1);
    printf("realtime_s %ld\n", (long)rt.tv_sec);
    struct timespec cpu;
    printf("cputime %d\n", clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu) == 0 && cpu.tv_sec < 100);
}

static void invalid(void)
{
    struct timespec bad = {0, 1000000000};
    R("nanosleep_big_nsec", nanosleep(&bad, NULL));
    bad.tv_nsec = -1;
    R("nanosleep_neg_nsec", nanosleep(&bad, NULL));
    bad.tv_sec = -1;
    bad.tv_nsec = 0;
    R("nanosleep_neg_sec", nanosleep(&bad, NULL));
    bad.tv_sec = 0;
    bad.tv_nsec = 1000000000;
    printf("clock_nanosleep_big_nsec %d\n", clock_nanosleep(CLOCK_MONOTONIC, 0, &bad, NULL));
    printf("clock_nanosleep_bad_clock %d\n", clock_nanosleep((clockid_t)99, 0, &bad, NULL));
    R("ppoll_bad", ppoll(NULL, 0, &bad, NULL));
    struct timeval tv = {0, -1};
    R("select_bad", select(0, NULL, NULL, NULL, &tv));
    tv.tv_usec = 0;
    R("select_negative_n", select(-1, NULL, NULL, NULL, &tv));
    R("pselect_bad", pselect(0, NULL, NULL, NULL, &bad, NULL));
    struct timespec zero = {0, 0};
    R("nanosleep_zero", nanosleep(&zero, NULL));
    struct epoll_event none;
    R("epoll_bad_fd", epoll_wait(-1, &none, 1, 10));
}

static void interrupted(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART; /* sleeps report EINTR all the same */
    sigaction(SIGUSR1, &sa, NULL);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        struct timespec d = {0, 300000000};
        nanosleep(&d, NULL);
        kill(parent, SIGUSR1);
        d.tv_sec = 1;
        d.tv_nsec = 0;
        nanosleep(&d, NULL);
        kill(parent, SIGUSR1);
        _exit(0);
    }
    struct timespec d = {2, 0}, left = {0, 0};
    long long t = mono();
    R("nanosleep_signal", nanosleep(&d, &left));
    took("nanosleep_signal", t);
    printf("nanosleep_left_ms %.1f\n", left.tv_sec * 1e3 + left.tv_nsec / 1e6);
    t = mono();
    result("sleep_signal", (long)sleep(5), 0);
    took("sleep_signal", t);
    int status = 0;
    waitpid(child, &status, 0);
    printf("child_status %d\n", WEXITSTATUS(status));
}

static void on_line(void)
{
    const int fd = line();
    drain(fd);
    /* The test's simulator answers each "ping" 100 ms later. */
    long long t = mono();
    (void)!write(fd, "ping", 4);
    struct pollfd p = {fd, POLLIN, 0};
    R("poll_answer", poll(&p, 1, 500));
    took("poll_answer", t);
    drain(fd);
    t = mono();
    R("poll_silence", poll(&p, 1, 300));
    took("poll_silence", t);
    (void)!write(fd, "ping", 4);
    t = mono();
    fd_set r;
    FD_ZERO(&r);
    FD_SET(fd, &r);
    struct timeval tv = {1, 0};
    R("select_answer", select(fd + 1, &r, NULL, NULL, &tv));
    took("select_answer", t);
    printf("select_set %d\n", FD_ISSET(fd, &r) ? 1 : 0);
    drain(fd);
    const int ep = epoll_create1(0);
    struct epoll_event ev = {.events = EPOLLIN, .data.fd = fd};
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    (void)!write(fd, "ping", 4);
    t = mono();
    struct epoll_event out;
    R("epoll_answer", epoll_wait(ep, &out, 1, 1000));
    took("epoll_answer", t);
    drain(fd);
    t = mono();
    struct timespec ts = {0, 200000000};
    R("ppoll_silence", ppoll(&p, 1, &ts, NULL));
    took("ppoll_silence", t);
    FD_SET(fd, &r);
    tv.tv_sec = 0;
    tv.tv_usec = 150000;
    t = mono();
    R("select_silence", select(fd + 1, &r, NULL, NULL, &tv));
    took("select_silence", t);
    printf("select_silence_set %d\n", FD_ISSET(fd, &r) ? 1 : 0);
    /* A signal ends a wait on the line when it has a handler, and not when
     * it is ignored. */
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGUSR1, &sa, NULL);
    signal(SIGUSR2, SIG_IGN);
    const pid_t parent = getpid();
    for (int sig = SIGUSR1; sig <= SIGUSR2; sig += SIGUSR2 - SIGUSR1) {
        const pid_t child = fork();
        if (child == 0) {
            struct timespec d = {0, 50000000};
            nanosleep(&d, NULL);
            kill(parent, sig);
            _exit(0);
        }
        const char* name = sig == SIGUSR1 ? "poll_signal" : "poll_ignored_signal";
        t = mono();
        R(name, poll(&p, 1, 250));
        took(name, t);
        waitpid(child, NULL, 0);
    }
    /* An answer the mission never reads stays on the line while it sleeps. */
    (void)!write(fd, "ping", 4);
    sleep(1);
    R("poll_stale", poll(&p, 1, 0));
    tcflush(fd, TCIFLUSH);
    R("poll_flushed", poll(&p, 1, 0));
}

static void on_pipe(void)
{
    int ends[2];
    (void)!pipe(ends);
    struct pollfd p = {ends[0], POLLIN, 0};
    long long t = mono();
    R("pipe_timeout", poll(&p, 1, 100));
    took("pipe_timeout", t);
    const pid_t child = fork();
    if (child == 0) {
        struct timespec d = {0, 50000000};
        nanosleep(&d, NULL);
        (void)!write(ends[1], "x", 1);
        _exit(0);
    }
    t = mono();
    R("pipe_data", poll(&p, 1, 5000));
    waitpid(child, NULL, 0);
}

static void busy(void)
{
    long long t = mono();
    long reads = 0;
    while (mono() - t < 500000000LL) {
        ++reads;
    }
    took("busy", t);
}

static void* napper(void* arg)
{
    (void)arg;
    struct timespec d = {0, 200000000};
    nanosleep(&d, NULL);
    return NULL;
}

static void processes(void)
{
    long long t = mono();
    const pid_t child = fork();
    if (child == 0) {
        sleep(1);
        _exit(7);
    }
    int status = 0;
    result("waitpid", waitpid(child, &status, 0) == child, 0);
    printf("status %d\n", WEXITSTATUS(status));
    took("fork_sleep", t);
    t = mono();
    pthread_t th;
    pthread_create(&th, NULL, napper, NULL);
    pthread_join(th, NULL);
    took("thread_sleep", t);
    t = mono();
    result("system", system("sleep 2") , 0);
    took("system_sleep", t);
}

/* Hand-overs the woken thread may not take: two waiters and one post or
 * signal, a token taken back at once. Each ends at its exact time. */
static sem_t g_sem;
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_cond = PTHREAD_COND_INITIALIZER;
static int g_ready;

static void* sem_waiter(void* arg)
{
    (void)arg;
    const int r = sem_wait(&g_sem);
    const int err = errno;
    printf("sem_waiter %d %s\n", r, r < 0 ? strerror(err) : "ok");
    return NULL;
}

static void* cond_waiter(void* arg)
{
    (void)arg;
    pthread_mutex_lock(&g_lock);
    while (g_ready == 0) {
        pthread_cond_wait(&g_cond, &g_lock);
    }
    g_ready--;
    pthread_mutex_unlock(&g_lock);
    return NULL;
}

static void nap_ms(long ms)
{
    struct timespec d = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&d, NULL);
}

static void signal_one(int broadcast)
{
    pthread_mutex_lock(&g_lock);
    g_ready += broadcast ? 2 : 1;
    (broadcast ? pthread_cond_broadcast : pthread_cond_signal)(&g_cond);
    pthread_mutex_unlock(&g_lock);
}

/* Two threads wait on the condition: a signal each, 100 ms apart, or one
 * broadcast. */
static void cond_pair(const char* name, int broadcast)
{
    const long long t = mono();
    pthread_t a, b;
    pthread_create(&a, NULL, cond_waiter, NULL);
    pthread_create(&b, NULL, cond_waiter, NULL);
    nap_ms(50);
    signal_one(broadcast);
    if (!broadcast) {
        nap_ms(100);
        signal_one(0);
    }
    printf("join %d\n", pthread_join(a, NULL));
    pthread_join(b, NULL);
    took(name, t);
}

static void handoffs(void)
{
    long long t = mono();
    pthread_t a, b;
    sem_init(&g_sem, 0, 0);
    pthread_create(&a, NULL, sem_waiter, NULL);
    pthread_create(&b, NULL, sem_waiter, NULL);
    nap_ms(50);
    R("sem_post", sem_post(&g_sem));
    nap_ms(100);
    sem_post(&g_sem);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    took("two_sem_waiters", t);

    /* Taken back before the waiter runs (or not: either way the clock goes on). */
    t = mono();
    pthread_create(&a, NULL, sem_waiter, NULL);
    nap_ms(50);
    sem_post(&g_sem);
    const int stolen = sem_trywait(&g_sem) == 0;
    nap_ms(100);
    if (stolen) {
        sem_post(&g_sem);
    }
    pthread_join(a, NULL);
    took("stolen_token", t);
    R("sem_trywait_empty", sem_trywait(&g_sem));

    /* A handler that runs ends the wait with EINTR, as on the wall clock
     * (when, depends on the machine: a signal is no hand-over). */
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGUSR1, &sa, NULL);
    pthread_create(&a, NULL, sem_waiter, NULL);
    /* On the wall clock the thread may not wait yet at the first. */
    do {
        nap_ms(50);
        pthread_kill(a, SIGUSR1);
        nap_ms(50);
    } while (pthread_tryjoin_np(a, NULL) != 0);

    cond_pair("two_cond_waiters", 0);
    cond_pair("broadcast", 1);

    /* Signalled, but the mutex it needs stays held through a nap. */
    t = mono();
    pthread_create(&a, NULL, cond_waiter, NULL);
    nap_ms(50);
    pthread_mutex_lock(&g_lock);
    g_ready++;
    pthread_cond_signal(&g_cond);
    nap_ms(20);
    pthread_mutex_unlock(&g_lock);
    nap_ms(30);
    pthread_join(a, NULL);
    took("signal_held", t);
    printf("join_self %d\n", pthread_join(pthread_self(), NULL));
}

static void refuse(const char* what)
{
    long r = 0;
    if (strcmp(what, "alarm") == 0) {
        r = alarm(5);
    } else if (strcmp(what, "setitimer") == 0) {
        struct itimerval v = {{0, 0}, {1, 0}};
        r = setitimer(ITIMER_REAL, &v, NULL);
    } else if (strcmp(what, "timer_create") == 0) {
        timer_t id;
        r = timer_create(CLOCK_MONOTONIC, NULL, &id);
    } else if (strcmp(what, "timerfd") == 0) {
        r = timerfd_create(CLOCK_MONOTONIC, 0);
    } else if (strcmp(what, "static") == 0) {
        char* argv[] = {getenv("KELVEX_STATIC_PROBE"), NULL};
        r = execv(argv[0], argv);
    }
    result(what, r, errno);
}

/* A program started with more variables than the clock's copy of the
 * environment holds, none of them the clock's: under the clock it must not
 * start at all (it would run off the clock); without, it starts. */
static void crowded(void)
{
    enum { kVars = 5000 };
    static char vars[kVars][16];
    static char* env[kVars + 1];
    for (int i = 0; i < kVars; ++i) {
        snprintf(vars[i], sizeof vars[i], "V%d=1", i);
        env[i] = vars[i];
    }
    char* args[] = {(char*)"/bin/true", NULL};
    const pid_t child = fork();
    if (child == 0) {
        execve("/bin/true", args, env);
        _exit(errno == E2BIG ? 7 : 8);
    }
    int status = 0;
    waitpid(child, &status, 0);
    printf("crowded_exec %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    const char* c = argc > 1 ? argv[1] : "";
    if (strcmp(c, "sleeps") == 0) sleeps();
    else if (strcmp(c, "invalid") == 0) invalid();
    else if (strcmp(c, "interrupted") == 0) interrupted();
    else if (strcmp(c, "line") == 0) on_line();
    else if (strcmp(c, "pipe") == 0) on_pipe();
    else if (strcmp(c, "busy") == 0) busy();
    else if (strcmp(c, "processes") == 0) processes();
    else if (strcmp(c, "crowded") == 0) crowded();
    else if (strcmp(c, "handoffs") == 0) handoffs();
    else if (strcmp(c, "refuse") == 0 && argc > 2) refuse(argv[2]);
    else {
        fprintf(stderr, "usage: clock_probe CASE\n");
        return 2;
    }
    return 0;
}
