#pragma once
#include <cstdint>

// Hottest CPU-related temperature in milli-degrees Celsius, -1 when no sensor is readable.
// hwmon devices whose name marks a CPU sensor come first; thermal zones only when none read.
int32_t read_temperature();
// Current clock of a logical CPU in kHz, 0 when unreadable.
long read_cur_khz(int cpu);
// Steal ticks of the aggregate cpu line of /proc/stat, 0 when unreadable.
long read_steal();
// The same, telling a real reading (0) from an unreadable or short line (-1, steal 0).
int read_steal_checked(long* steal);

// Whether an hwmon device name marks a CPU sensor (coretemp, k10temp, cpu, soc, acpitz).
bool is_cpu_sensor_name(const char* name);
// The eighth number (steal) of a leading "cpu" line of /proc/stat text; 0 when it has fewer.
long parse_steal(const char* stat_text);
