// Little-endian loads and stores for the simulator's wire records.
#ifndef DSNETSIM_SIMWIRE_H
#define DSNETSIM_SIMWIRE_H

#include <stdint.h>

static inline uint16_t SimGet16(const uint8_t* b)
{
    return (uint16_t)(b[0] | (b[1] << 8));
}

static inline uint32_t SimGet32(const uint8_t* b)
{
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) |
           ((uint32_t)b[3] << 24);
}

static inline void SimPut16(uint8_t* b, uint16_t v)
{
    b[0] = (uint8_t)v;
    b[1] = (uint8_t)(v >> 8);
}

static inline void SimPut32(uint8_t* b, uint32_t v)
{
    b[0] = (uint8_t)v;
    b[1] = (uint8_t)(v >> 8);
    b[2] = (uint8_t)(v >> 16);
    b[3] = (uint8_t)(v >> 24);
}

#endif
