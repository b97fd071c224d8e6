/* A mission that does everything a flight in virtual time must follow:
 * sleeps, waits on the line, watches the clock in a loop, runs the battery
 * loop in a child process and starts curl. Everything it measures goes to
 * the ground, so that the ground log shows whether two flights agree. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "kelvex/kelvex.h"

static double now_s(void)
{
    struct timeval tv;
    gettimeofday(&tv, NULL);
    return tv.tv_sec + tv.tv_usec / 1e6;
}

void control(void)
{
    const double t0 = now_s();
    char* key = getenv("KELVEX_BATTERY_KEY");
    const int shmid = accumulator_create(key != NULL && *key != '\0' ? key : "/tmp");
    accumulator_attach(shmid);
    battery_set_charge(1.5);
    battery_set_discharge_limit(0.0f);
    battery_set_charge_limit(2.0f);
    battery_set_discharging_current(G.fRaspberryConsumption);
    /* CLOCK_FLIGHT_BATTERY=0: no battery loop. */
    const char* battery = getenv("CLOCK_FLIGHT_BATTERY");
    const int with_loop = battery == NULL || *battery != '0';
    const pid_t loop = with_loop ? fork() : -1;
    if (loop == 0) {
        accumulator();
        _exit(0);
    }
    /* The loop's first requests go first: two processes talking on the line
     * at the same instant would race for it in any clock. */
    usleep(100000);
    motor_turn_on(0);
    for (int k = 0; k < 6; k++) {
        uint16_t pos = 0, neg = 0;
        const int status = sun_sensor_request_raw(k % 8, &pos, &neg);
        buzz_printf("clock flight: t=%.6f sensor %d status %d reads %u %u\n", now_s() - t0, k % 8,
                    status, pos, neg);
        int16_t confirm = 0;
        motor_set_speed(0, (int16_t)(1000 * k), &confirm);
        usleep(150000);
    }
    /* Watching the clock instead of sleeping. */
    const double until = now_s() + 0.25;
    long looks = 0;
    while (now_s() < until) {
        ++looks;
    }
    buzz_printf("clock flight: t=%.6f after watching the clock %ld times\n", now_s() - t0, looks);
    struct timespec d = {1, 0};
    nanosleep(&d, NULL);
    FILE* f = fopen("upload.txt", "w");
    fputs("payload\n", f);
    fclose(f);
    const char* ftp = getenv("KELVEX_FTP_PATH");
    char command[512];
    snprintf(command, sizeof command, "curl -s -T upload.txt %s/clock-flight.txt", ftp ? ftp : "ftp://127.0.0.1:1");
    const int curl = system(command);
    buzz_printf("clock flight: t=%.6f curl status %d\n", now_s() - t0, curl);
    sleep(1);
    buzz_printf("clock flight: t=%.6f charge %.9f Ah\n", now_s() - t0, battery_get_charge());
    /* A limit above the charge ends the loop at its next look: a kill would
     * race it, and the last charge would depend on who ran first. */
    battery_set_discharge_limit(3.0f);
    if (with_loop) {
        waitpid(loop, NULL, 0);
    }
    accumulator_detach();
    motor_turn_off(0);
    buzz_printf("clock flight: t=%.6f done\n", now_s() - t0);
}
