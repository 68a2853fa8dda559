// How a command that has reported its failure ends the process. Alone in its file, so that a
// test program can link its own keldaExit in place of this one.

#include <cstdlib>

#include "keldacmds.h"

void keldaExit(int status) {
  std::exit(status);
}
