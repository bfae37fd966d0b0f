#include "run/sequence.h"

int run_sequence(int, char**) { return 0; }
