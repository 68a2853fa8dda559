// kelda: the administration tool of the proxy server's instances (see keldamain.cpp).

#include "keldacmds.h"

int main(int argc, char** argv) {
  return keldaMain(argc, argv);
}
