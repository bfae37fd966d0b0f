#pragma once

// The program from launch to exit status.
int run_sequence(int argc, char** argv);
