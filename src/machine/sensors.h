#pragma once
#include <cstdint>

// Hottest CPU-related temperature in milli-degrees Celsius, -1 when no sensor is readable.
int32_t read_temperature();
// Current clock of a logical CPU in kHz, 0 when unreadable.
long read_cur_khz(int cpu);
// Steal ticks of the aggregate cpu line of /proc/stat, 0 when unreadable.
long read_steal();
