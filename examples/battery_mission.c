/* Battery model: the integration loop accumulator() runs in a process of its
 * own, sharing the battery record with the mission. The loop charges from
 * sun battery 0 (the only answered requests on the line, so the two
 * processes never wait for answers at the same time); the mission switches
 * units on and off, which the loop takes out of the battery, and reports the
 * charge to the ground. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kelvex/kelvex.h"

#define MISSION_S 10

void control(void)
{
    /* Any existing path names the segment; every process using it agrees.
     * The virtual satellite gives each run a file of its own, so that runs
     * side by side keep their own charge. */
    char* key = getenv("KELVEX_BATTERY_KEY");
    const int shmid = accumulator_create(key != NULL && *key != '\0' ? key : "/tmp");
    if (shmid < 0) {
        printf("no battery record\n");
        return;
    }
    accumulator_attach(shmid);
    battery_set_charge(1.5);
    battery_set_discharge_limit(0.0f);
    battery_set_charge_limit(2.0f);
    battery_set_discharging_current(G.fRaspberryConsumption);

    const pid_t loop = fork();
    if (loop == 0) {
        accumulator();
        _exit(0);
    }

    /* Only commands from here: the resets that switch units on. */
    motor_turn_on(0);
    for (int k = 0; k < 8; k++) {
        sun_sensor_turn_on(k);
    }
    for (int s = 0; s <= MISSION_S; s++) {
        if (s == MISSION_S / 2) {
            motor_turn_off(0);
        }
        printf("t=%2d s  charge %.6f Ah  in %.1f mA  out %.1f mA\n", s, battery_get_charge(),
               battery_get_charging_current(), battery_get_discharging_current());
        buzz_printf("battery: %.6f Ah, charging %.1f mA, drawing %.1f mA\n", battery_get_charge(),
                    battery_get_charging_current(), battery_get_discharging_current());
        Sleep(1);
    }
    kill(loop, SIGTERM);
    waitpid(loop, NULL, 0);
    accumulator_detach();
}
