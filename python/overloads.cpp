#include "overloads.h"

int sunbattery_request_raw(short num, unsigned short* pRAW_data)
{
    return sunbattery_request_raw(static_cast<uint16_t>(num), pRAW_data);
}

int sunbattery_request_maxraw(short num, unsigned short* pMAXRAW_data)
{
    return sunbattery_request_maxraw(static_cast<uint16_t>(num), pMAXRAW_data);
}

int sunbattery_request_reset(short num)
{
    return sunbattery_request_reset(static_cast<uint16_t>(num));
}

int cobs_single_request(char** out_buffer, int* out_length, char* z, int n)
{
    return cobs_single_request(z, n, out_buffer, out_length);
}

int cobs_single_request(char* z, int n, char** zz, int* nn)
{
    return cobs_single_request(reinterpret_cast<const uint8_t*>(z), n,
                               reinterpret_cast<uint8_t**>(zz), nn);
}
