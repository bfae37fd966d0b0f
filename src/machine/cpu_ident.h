#pragma once
#include <cstddef>

// Fills g_machine.cpu_model from /proc/cpuinfo (once; a second call does nothing).
void identify_cpu();

// /proc/device-tree/model into a 128-byte buffer; remaining length or -1.
long read_device_tree_model(char* buf, std::size_t size);
