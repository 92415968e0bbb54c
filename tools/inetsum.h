#pragma once

// What the test helpers share of packet making: the Internet checksum (RFC 1071).

#include <cstddef>
#include <cstdint>

inline uint16_t checksum(const uint8_t* data, size_t size)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2) sum += uint32_t(data[i] << 8 | data[i + 1]);
    if (size % 2) sum += uint32_t(data[size - 1]) << 8;
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return uint16_t(~sum);
}
