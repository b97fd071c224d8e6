/* Sun pointing: find the lamp with the sun sensors, turn the satellite to it
 * with the reaction wheel (motor 0), hold it within 2 degrees, report to the
 * ground station, then photograph the lamp and transmit the photo.
 *
 * The eight sun sensors sit around the body, 45 degrees apart, sensor 0
 * looking along the camera axis (+x). Each sees +-45 degrees; the one with
 * the strongest signal gives the angle to the lamp. Turning the wheel one way
 * turns the body the other way: a body rate of 1 deg/s takes about
 * WHEEL_RPM_PER_DPS of wheel speed (a calibration of the kit).
 *
 * The gyroscope is cross-checked against the sun sensors: a gyroscope that
 * answers the very same reading again and again (a real one always has some
 * noise), or that disagrees with how fast the lamp moves across the sun
 * sensors, is set aside. The satellite then steers by the sun sensors and by
 * the momentum it keeps: the body's rate with the wheel stopped only changes
 * under outside torques, so the wheel's speed tells the body's rate. */
#include <math.h>
#include <stdio.h>
#include <time.h>

#include "kelvex/kelvex.h"

#define SUN_SENSORS 8
#define SENSOR_SPACING_DEG 45.0
#define LAMP_SEEN 100         /* summed signal over ambient that counts as the lamp */
#define WHEEL_RPM_PER_DPS 167.0
#define GYRO_COUNTS_PER_DPS 100.0
#define GAIN_PER_S 0.8        /* commanded rate per degree of error */
#define MAX_RATE_DPS 20.0
#define SEARCH_RATE_DPS 10.0
#define HOLD_DEG 2.0
#define SETTLED_S 3.0         /* inside HOLD_DEG this long counts as pointed */
#define HOLD_S 8.0            /* then hold this long before the final report */
#define GIVE_UP_S 90.0
#define PERIOD_MS 50
#define PHOTO 1               /* photos/1.jpeg */
#define GYRO_FROZEN_READS 10  /* the very same reading this often in a row: stuck */
#define GYRO_DISAGREE_DPS 4.0 /* gyroscope and sun sensors this far apart ... */
#define GYRO_DISAGREE_S 1.0   /* ... for this long: the gyroscope is wrong */
#define SUN_RATE_WEIGHT 0.25  /* of each new rate seen by the sun sensors */
#define MOMENTUM_WEIGHT 0.1   /* of each new momentum the sun sensors give */
#define TRANSMITTER 0

static double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static double wrap(double deg)
{
    while (deg > 180.0) deg -= 360.0;
    while (deg <= -180.0) deg += 360.0;
    return deg;
}

/* Angle from the camera axis to the lamp, counter-clockwise positive.
 * Returns 0 when a sensor sees the lamp. */
static int lamp_angle(double* angle)
{
    uint16_t pos[SUN_SENSORS], neg[SUN_SENSORS];
    uint16_t ambient = 0xFFFF;
    int best = -1;
    long best_sum = 0;
    for (int k = 0; k < SUN_SENSORS; k++) {
        if (sun_sensor_request_raw(k, &pos[k], &neg[k]) != 0) {
            return 1;
        }
        if (pos[k] < ambient) ambient = pos[k];
        if (neg[k] < ambient) ambient = neg[k];
    }
    /* The dark sensors read the room's background on both channels; stay
     * a little under it so that their noise does not matter. */
    ambient = ambient > 3 ? ambient - 3 : 0;
    for (int k = 0; k < SUN_SENSORS; k++) {
        long sum = (long)pos[k] + neg[k] - 2L * ambient;
        if (sum > best_sum) {
            best_sum = sum;
            best = k;
        }
    }
    double in_sensor;
    if (best < 0 || best_sum < LAMP_SEEN ||
        sunsensors_angle(pos[best], neg[best], ambient, &in_sensor) != 0) {
        return 1;
    }
    *angle = wrap(best * SENSOR_SPACING_DEG + in_sensor);
    return 0;
}

/* What the mission knows of its rate: the gyroscope while it can be
 * trusted, else the sun sensors and the momentum. */
struct rate_estimate {
    int16_t last[3];
    int same;                 /* readings equal to the one before, in a row */
    int trusted;
    double disagree_since;    /* < 0: they agree */
    int have_angle, have_sun_rate;
    double angle, angle_t;    /* the last angle seen and when */
    double sun_rate;          /* deg/s, from the lamp's motion across the sensors */
    double momentum;          /* the body's rate with the wheel stopped, deg/s */
};

static void see_lamp(struct rate_estimate* e, int seen, double angle, double t)
{
    if (seen && e->have_angle && t - e->angle_t > 0 && t - e->angle_t < 0.5) {
        /* The lamp moves across the body the other way from the body. */
        const double r = -wrap(angle - e->angle) / (t - e->angle_t);
        e->sun_rate = e->have_sun_rate ? e->sun_rate + SUN_RATE_WEIGHT * (r - e->sun_rate) : r;
        e->have_sun_rate = 1;
    } else if (!seen) {
        e->have_sun_rate = 0;
    }
    e->have_angle = seen;
    e->angle = angle;
    e->angle_t = t;
}

/* The body's rate in deg/s; 1 when there is none to be had. */
static int body_rate(struct rate_estimate* e, double t, int16_t wheel, double* dps)
{
    int16_t x, y, z;
    if (hyro_request_raw(0, &x, &y, &z) != 0) {
        return 1;
    }
    const double gyro = z / GYRO_COUNTS_PER_DPS;
    e->same = (x == e->last[0] && y == e->last[1] && z == e->last[2]) ? e->same + 1 : 0;
    e->last[0] = x;
    e->last[1] = y;
    e->last[2] = z;
    if (e->have_sun_rate && fabs(gyro - e->sun_rate) > GYRO_DISAGREE_DPS) {
        if (e->disagree_since < 0) e->disagree_since = t;
    } else {
        e->disagree_since = -1;
    }
    const int frozen = e->same >= GYRO_FROZEN_READS;
    const int wrong = e->disagree_since >= 0 && t - e->disagree_since >= GYRO_DISAGREE_S;
    if (e->trusted && (frozen || wrong)) {
        e->trusted = 0;
        buzz_printf("sun pointing: gyroscope 0 %s; steering by the sun sensors\n",
                    frozen ? "answers the same reading again and again"
                           : "disagrees with the sun sensors");
    } else if (!e->trusted && !frozen && e->have_sun_rate && e->disagree_since < 0) {
        e->trusted = 1;
        buzz_printf("sun pointing: gyroscope 0 agrees with the sun sensors again\n");
    }
    const double wheel_dps = wheel / WHEEL_RPM_PER_DPS;
    if (e->trusted) {
        e->momentum = gyro + wheel_dps;
        *dps = gyro;
    } else {
        if (e->have_sun_rate) {
            e->momentum += MOMENTUM_WEIGHT * (e->sun_rate + wheel_dps - e->momentum);
        }
        *dps = e->momentum - wheel_dps;
    }
    return 0;
}

/* Every step of the photo is told to the ground and printed here. */
static int step(const char* what, int result)
{
    printf("%s: %s (%d)\n", what, result == 0 ? "done" : "failed", result);
    buzz_printf("sun pointing: %s: %s (%d)\n", what, result == 0 ? "done" : "failed", result);
    return result;
}

/* The camera looks along +x, so a held lamp is in the middle of the photo. */
static void photograph_the_lamp(void)
{
    if (step("camera on", camera_turn_on()) == 0 &&
        step("photo 1 taken into photos/1.jpeg", camera_take_photo(PHOTO)) == 0 &&
        step("transmitter 0 on", transmitter_turn_on(TRANSMITTER)) == 0) {
        step("photo 1 transmitted", transmitter_transmit_photo(TRANSMITTER, PHOTO));
        transmitter_turn_off(TRANSMITTER);
    }
    camera_turn_off();
}

void control(void)
{
    for (int k = 0; k < SUN_SENSORS; k++) {
        sun_sensor_turn_on(k);
    }
    hyro_turn_on(0);
    motor_turn_on(0);
    buzz_printf("sun pointing: looking for the lamp\n");

    const double start = now_s();
    double settled_since = -1, pointed_at = -1, last_print = -1;
    double angle = 0, rate = 0;
    int seen = 0, reported_seen = 0;
    struct rate_estimate estimate = {.trusted = 1, .disagree_since = -1};
    while (now_s() - start < GIVE_UP_S) {
        const double t = now_s() - start;
        int16_t wheel = 0, confirm;
        seen = lamp_angle(&angle) == 0;
        see_lamp(&estimate, seen, angle, t);
        if (motor_request_speed(0, &wheel) != 0 || body_rate(&estimate, t, wheel, &rate) != 0) {
            mSleep(PERIOD_MS);
            continue;
        }
        double want;
        if (seen) {
            if (!reported_seen) {
                buzz_printf("sun pointing: lamp seen %.1f deg off the camera axis\n", angle);
                reported_seen = 1;
            }
            want = GAIN_PER_S * angle;
            if (want > MAX_RATE_DPS) want = MAX_RATE_DPS;
            if (want < -MAX_RATE_DPS) want = -MAX_RATE_DPS;
        } else {
            want = SEARCH_RATE_DPS;
        }
        /* The body's rate with the wheel stopped: what the wheel has to
         * take away or add to reach the wanted rate. */
        const double free_rate = rate + wheel / WHEEL_RPM_PER_DPS;
        double cmd = (free_rate - want) * WHEEL_RPM_PER_DPS;
        if (cmd > 8000) cmd = 8000;
        if (cmd < -8000) cmd = -8000;
        motor_set_speed(0, (int16_t)lround(cmd), &confirm);

        if (seen && fabs(angle) < HOLD_DEG) {
            if (settled_since < 0) settled_since = t;
            if (pointed_at < 0 && t - settled_since >= SETTLED_S) {
                pointed_at = t;
                printf("pointed at the lamp after %.1f s\n", t);
                buzz_printf("sun pointing: holding the lamp, error %.2f deg after %.1f s\n",
                            angle, t);
            }
        } else {
            settled_since = -1;
        }
        if (t - last_print >= 1.0) {
            printf("t=%5.1f s  lamp %s %7.2f deg  rate %6.2f deg/s  wheel %5d rpm\n", t,
                   seen ? "at" : "unseen", angle, rate, wheel);
            last_print = t;
        }
        if (pointed_at >= 0 && t - pointed_at >= HOLD_S) {
            break;
        }
        mSleep(PERIOD_MS);
    }
    if (seen) {
        printf("final pointing error: %.2f deg\n", fabs(angle));
        buzz_printf("sun pointing: final pointing error %.2f deg\n", fabs(angle));
    } else {
        printf("final pointing error: unknown, the lamp is not in sight\n");
        buzz_printf("sun pointing: lamp lost\n");
    }
    if (pointed_at >= 0 && seen && fabs(angle) < HOLD_DEG) {
        photograph_the_lamp();
    } else {
        printf("no photo: the lamp is not held\n");
        buzz_printf("sun pointing: no photo, the lamp is not held\n");
    }
}
