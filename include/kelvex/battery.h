/** @file
 * Battery model: the shared battery record, consumption accounting and the
 * integration loop.
 *
 * The record lives in a System V shared-memory segment so that every process
 * that attaches it shares one battery. Each process has its own pointer vacc;
 * while it is null (not attached) the updates do nothing and the reads give a
 * quiet NaN. */
#ifndef KELVEX_BATTERY_H
#define KELVEX_BATTERY_H

#include "kelvex/export.h"

KELVEX_BEGIN_DECLS

/** The shared battery record. 24 bytes, native byte order, no header: every
 * process that attaches one segment relies on this exact layout. */
typedef struct VirtualAccumulator {
    double charge;             /**< ampere-hours */
    float charge_limit;        /**< ampere-hours; charging only below it */
    float discharge_limit;     /**< ampere-hours; the loop runs only above it */
    float charging_current;    /**< milliamperes into the battery */
    float discharging_current; /**< milliamperes: summed draw of the units that are on */
} VirtualAccumulator;

/** The record attached in this process, or null. The segment is shared: it
 * stays after the process ends, and accumulator_detach() only unmaps it. */
KELVEX_API extern VirtualAccumulator* vacc;

/** Key ftok(prg, 0); gets (or creates, mode 0644, zero-filled) the 24-byte
 * segment. Nothing removes the segment.
 * @return the segment id, or -1. */
KELVEX_API int accumulator_create(char* prg);
/** Maps the segment and stores its address in vacc. On failure prints the
 * system error with "shmat" and ends the process with exit status 1.
 * @return the record's address (also in vacc). */
KELVEX_API void* accumulator_attach(int shmid);
/** Unmaps the record; on success vacc is null again.
 * @return 0, or -1 when nothing is attached. */
KELVEX_API int accumulator_detach(void);

/** @name Updates
 * Each does nothing while no record is attached.
 * @{ */
/** Sets charging_current to mA and charge_limit to AH. */
KELVEX_API void set_charging(float mA, float AH);
/** Sets charging_current to 0. */
KELVEX_API void reset_charging(void);
/** Sets discharging_current to mA and discharge_limit to AH. */
KELVEX_API void set_discharging(float mA, float AH);
/** Sets discharging_current to 0. */
KELVEX_API void reset_discharging(void);
/** Adds a unit's draw of mA to discharging_current. Atomic on the shared
 * field, so processes switching units at the same moment lose nothing. */
KELVEX_API void increase_consumption(float mA);
/** Takes a unit's draw of mA back from discharging_current, atomically; the
 * sum never goes below 0. */
KELVEX_API void decrease_consumption(float mA);
/** Sets the charge (ampere-hours). */
KELVEX_API void battery_set_charge(double charge);
/** Sets the charge limit (ampere-hours). */
KELVEX_API void battery_set_charge_limit(float charge_limit);
/** Sets the discharge limit (ampere-hours). */
KELVEX_API void battery_set_discharge_limit(float discharge_limit);
/** Sets the charging current (milliamperes). */
KELVEX_API void battery_set_charging_current(float charging_current);
/** Sets the discharging current (milliamperes). */
KELVEX_API void battery_set_discharging_current(float discharging_current);
/** @} */

/** @name Reads
 * A quiet NaN while no record is attached.
 * @{ */
/** @return the charge in ampere-hours, rounded to single precision. */
KELVEX_API float battery_get_charge(void);
/** @return the charging current in milliamperes. */
KELVEX_API float battery_get_charging_current(void);
/** @return the discharging current in milliamperes. */
KELVEX_API float battery_get_discharging_current(void);
/** @} */

/** Runs the battery in time in the calling thread: every millisecond adds the
 * charging amount (while below the charge limit; the charging current is
 * refreshed from sun battery 0 once in 1000 such iterations) and takes the
 * discharging amount. Waits, once a second, until a record is attached, and
 * returns when the charge has fallen to the discharge limit. */
KELVEX_API void accumulator(void);

KELVEX_END_DECLS

#endif
