#include "bus/bus_trace.h"

#include <cstdio>

namespace bench {

std::string to_string(const Access &a)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%llu %s%u 0x%X 0x%X", static_cast<unsigned long long>(a.time),
                  a.dir == Dir::In ? "in" : "out", static_cast<unsigned>(a.width), static_cast<unsigned>(a.port),
                  static_cast<unsigned>(a.value));
    return buf;
}

} // namespace bench
