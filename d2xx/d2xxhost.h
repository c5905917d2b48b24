// A simulator HostClient over an open D2XX handle: a recorder reached through
// the device layer, as the program reaches it.
#pragma once

#include "ftd2xx.h"
#include "host.h"

namespace sim {

inline HostClient hostOverD2xx(FT_HANDLE h)
{
    return HostClient(
        [h](const std::uint8_t* d, std::size_t n) {
            DWORD w = 0;
            return FT_Write(h, const_cast<std::uint8_t*>(d), static_cast<DWORD>(n), &w) == FT_OK
                && w == n;
        },
        [h](std::uint8_t* d, std::size_t n) -> long {
            DWORD got = 0;
            if (FT_Read(h, d, static_cast<DWORD>(n), &got) != FT_OK)
                return -1;
            return static_cast<long>(got);
        });
}

} // namespace sim
