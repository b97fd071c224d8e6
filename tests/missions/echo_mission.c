/* Test mission: its behaviour is chosen by KELVEX_TEST_MISSION so that one
 * program serves every runner test.
 *   (unset)  returns at once
 *   request  exchanges one request and prints the answer's first value
 *   buzz     sends a text of 1500 characters, an empty text and 3 raw bytes
 *   config   prints the configuration the options produced
 *   lab      one student's run: keeps a battery record under
 *            KELVEX_BATTERY_KEY, sends and prints 20 lines tagged with
 *            KELVEX_TEST_TAG and exits with KELVEX_TEST_STATUS (99 when the
 *            battery changed under it)
 * It also takes the address of every exported runner name, so the public
 * header and the library cannot drift apart. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sys/shm.h>

#include "kelvex/kelvex.h"

static void* const exported[] = {
    (void*)&G, (void*)&debug, (void*)&ncells, (void*)&ftp_path, (void*)&donotpollsunbattery,
    (void*)&fd, (void*)buf, (void*)usage, (void*)version, (void*)control, (void*)do_command,
    (void*)do_single_request, (void*)do_request, (void*)do_request_timeout, (void*)do_setup_bus,
    (void*)buzz_write, (void*)buzz_printf, (void*)GPIOExport, (void*)GPIOUnexport,
    (void*)GPIODirection, (void*)GPIORead, (void*)GPIOWrite, (void*)tty_open, (void*)tty_close,
    (void*)diag_vdump_buf_with_offset, (void*)msleep, (void*)cobs_encode, (void*)cobs_decode,
};

static const char* env_or(const char* name, const char* fallback)
{
    const char* v = getenv(name);
    return v != NULL ? v : fallback;
}

static void lab_run(void)
{
    const char* tag = env_or("KELVEX_TEST_TAG", "lab");
    const int status = atoi(env_or("KELVEX_TEST_STATUS", "0"));
    char* key = getenv("KELVEX_BATTERY_KEY");
    const int id = key != NULL ? accumulator_create(key) : -1;
    if (id < 0) {
        exit(98);
    }
    accumulator_attach(id);
    battery_set_charge(1.0f + (float)status / 100);
    for (int i = 0; i < 20; i++) {
        printf("%s printed %d\n", tag, i);
        buzz_printf("%s line %d\n", tag, i);
        msleep(50);
    }
    const int kept = battery_get_charge() == 1.0f + (float)status / 100;
    accumulator_detach();
    shmctl(id, IPC_RMID, NULL);
    exit(kept ? status : 99);
}

void control(void)
{
    const char* what = getenv("KELVEX_TEST_MISSION");
    for (size_t i = 0; i < sizeof exported / sizeof exported[0]; ++i) {
        if (exported[i] == NULL) {
            printf("missing export %zu\n", i);
        }
    }
    if (what == NULL) {
        return;
    }
    if (strcmp(what, "lab") == 0) {
        lab_run();
    }
    if (strcmp(what, "request") == 0) {
        const uint8_t request[6] = {0x00, 0x23, 0x30, 0x02, 0x01, 0x00};
        uint8_t answer[64];
        uint8_t* p = answer;
        int n = sizeof answer;
        const int r = do_request(&p, &n, request, sizeof request);
        printf("request %d %d %u\n", r, n, r == 0 ? answer[6] | (unsigned)answer[7] << 8 : 0u);
    } else if (strcmp(what, "buzz") == 0) {
        char text[1501];
        memset(text, 'x', 1500);
        text[1500] = '\0';
        const uint8_t raw[3] = {0, 1, 2};
        const int a = buzz_printf("%s", text);
        const int b = buzz_printf("%s", "");
        const int c = buzz_write((void*)raw, 3);
        printf("buzz %d %d %d\n", a, b, c);
    } else if (strcmp(what, "config") == 0) {
        printf("config N=%d X=%d b=%d c=%.2f d=%d f=%s i=%.2f n=%d t=%d z=%s fd=%d\n", ncells,
               donotpollsunbattery, G.baud, G.charge, debug, ftp_path, G.current, G.retries,
               G.timeout, G.buzz_server, G.fd >= 0);
    }
}
