#include "isolation/guardian.h"
#include "run/sequence.h"

int main(int argc, char** argv) {
  guardian_set_args(argc, argv);  // the guardian, if one is forked, names itself over them
  return run_sequence(argc, argv);
}
