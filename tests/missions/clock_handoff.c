/* Threads that hand work to one another through waits without a time-out:
 * a semaphore, a condition variable and a join. The thread that hands over
 * sleeps again at once, so that the clock would move on if the woken one
 * were not seen running. Each wake-up goes to the ground with the time it
 * woke at, and a line exchange to the line log. */
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <sys/time.h>
#include <unistd.h>

#include "kelvex/kelvex.h"

enum { kRounds = 12 };

static sem_t g_sem;
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_cond = PTHREAD_COND_INITIALIZER;
static int g_ready;
static double g_t0;

static double now_s(void)
{
    struct timeval tv;
    gettimeofday(&tv, NULL);
    return tv.tv_sec + tv.tv_usec / 1e6;
}

static void* posts(void* arg)
{
    (void)arg;
    for (int i = 0; i < kRounds; i++) {
        usleep(20000);
        sem_post(&g_sem);
    }
    return NULL;
}

static void* signals(void* arg)
{
    (void)arg;
    for (int i = 0; i < kRounds; i++) {
        usleep(20000);
        pthread_mutex_lock(&g_lock);
        g_ready++;
        pthread_cond_signal(&g_cond);
        pthread_mutex_unlock(&g_lock);
    }
    return NULL;
}

static void* naps(void* arg)
{
    (void)arg;
    usleep(20000);
    return NULL;
}

void control(void)
{
    g_t0 = now_s();
    sem_init(&g_sem, 0, 0);
    motor_turn_on(0);
    pthread_t t;
    pthread_create(&t, NULL, posts, NULL);
    for (int i = 0; i < kRounds; i++) {
        sem_wait(&g_sem);
        const double woke = now_s() - g_t0;
        uint16_t pos = 0, neg = 0;
        sun_sensor_request_raw(i % 8, &pos, &neg);
        buzz_printf("handoff: sem %d woke t=%.6f\n", i, woke);
    }
    pthread_join(t, NULL);
    pthread_create(&t, NULL, signals, NULL);
    for (int i = 0; i < kRounds; i++) {
        pthread_mutex_lock(&g_lock);
        while (g_ready == 0) {
            pthread_cond_wait(&g_cond, &g_lock);
        }
        g_ready--;
        pthread_mutex_unlock(&g_lock);
        const double woke = now_s() - g_t0;
        int16_t confirm = 0;
        motor_set_speed(0, (int16_t)(500 * i), &confirm);
        buzz_printf("handoff: cond %d woke t=%.6f\n", i, woke);
    }
    pthread_join(t, NULL);
    for (int i = 0; i < kRounds; i++) {
        pthread_create(&t, NULL, naps, NULL);
        pthread_join(t, NULL);
        buzz_printf("handoff: join %d woke t=%.6f\n", i, now_s() - g_t0);
    }
    motor_turn_off(0);
    buzz_printf("handoff: done t=%.6f\n", now_s() - g_t0);
}
