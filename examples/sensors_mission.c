/* Sensors, actuators and the battery model together: switch units on, read
 * the sun battery, a sun sensor pair and the gyroscope, spin the reaction
 * wheel with set-and-confirm, and watch the shared battery drain while a
 * second process runs the battery model.
 *
 *   cc sensors_mission.c $(pkg-config --cflags --libs kelvex) -o sensors_mission
 *   ./sensors_mission -c 0.02 /dev/ptmx   (then attach a simulator to the printed pty)
 */
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kelvex/kelvex.h"

#define WHEEL_RPM 1500
#define REPORTS 5

static void read_sensors(void)
{
    uint16_t raw = 0, max = 0, positive = 0, negative = 0;
    int16_t x = 0, y = 0, z = 0;
    double angle = 0.0;

    if (sunbattery_request_raw(0, &raw) == 0 && sunbattery_request_maxraw(0, &max) == 0) {
        printf("sun battery 0: %u of %u\n", raw, max);
    } else {
        printf("sun battery 0: no answer\n");
    }
    if (sun_sensor_request_raw(0, &positive, &negative) == 0) {
        if (sunsensors_angle(positive, negative, 0, &angle) == 0) {
            printf("sun sensor 0: %u/%u, sun at %.1f degrees\n", positive, negative, angle);
        } else {
            printf("sun sensor 0: %u/%u, no sun\n", positive, negative);
        }
    }
    if (gyro_request_raw(0, &x, &y, &z) == 0) {
        printf("gyroscope 0: x=%d y=%d z=%d\n", x, y, z);
    }
}

static void spin_wheel(int16_t rpm)
{
    int16_t confirm = 0, speed = 0;
    const int r = motor_set_speed(0, rpm, &confirm);
    if (r == 0 && confirm == rpm) {
        printf("wheel set to %d rpm\n", rpm);
    } else if (r == 0) {
        printf("wheel answers %d rpm instead of %d\n", confirm, rpm);
    } else {
        printf("wheel does not answer (%d)\n", r);
    }
    if (motor_request_speed(0, &speed) == 0) {
        printf("wheel turns at %d rpm\n", speed);
    }
}

void control(void)
{
    /* Every process of this mission shares one battery, keyed by the run's
     * own file on the virtual satellite, else by the program's file. */
    char* key = getenv("KELVEX_BATTERY_KEY");
    const int id = accumulator_create(key != NULL && *key != '\0' ? key : "/proc/self/exe");
    if (id < 0) {
        perror("accumulator_create");
        return;
    }
    accumulator_attach(id);
    battery_set_charge(G.charge);
    set_charging(0.0f, G.charge);
    set_discharging(G.fRaspberryConsumption, 0.0f);

    /* The battery model runs in a process of its own on the same line; it
     * leaves the bus to the mission. */
    const pid_t model = fork();
    if (model == 0) {
        donotpollsunbattery = 1;
        accumulator();
        printf("battery empty\n");
        _exit(0);
    }

    sun_sensor_turn_on(0);
    hyro_turn_on(0);
    motor_turn_on(0);
    printf("units on, drawing %.0f mA\n", battery_get_discharging_current());

    read_sensors();
    spin_wheel(WHEEL_RPM);
    for (int i = 0; i < REPORTS; ++i) {
        Sleep(1);
        printf("charge %.6f Ah, drawing %.0f mA\n", battery_get_charge(), battery_get_discharging_current());
        buzz_printf("charge %.6f Ah\n", battery_get_charge());
    }
    spin_wheel(0);

    motor_turn_off(0);
    hyro_turn_off(0);
    sun_sensor_turn_off(0);
    printf("units off, drawing %.0f mA\n", battery_get_discharging_current());

    if (model > 0) {
        kill(model, SIGTERM);
        waitpid(model, NULL, 0);
    }
    accumulator_detach();
    shmctl(id, IPC_RMID, NULL);
}
