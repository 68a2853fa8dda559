// The framework's standard output channel.

#include <tcl.h>

#include <cerrno>
#include <cstdio>

namespace qz {
namespace {

// Tcl's stdout is a channel of our own that hands every byte straight to C's stdout, so that
// Tcl's puts and the tools' printf share one buffer: output keeps the order it was written
// in, on a terminal, a pipe or a file, and exit() flushes all of it.

int StdoutClose(ClientData, Tcl_Interp*) {
  return 0;
}
int StdoutInput(ClientData, char*, int, int* errorCode) {
  *errorCode = EINVAL;
  return -1;
}
int StdoutOutput(ClientData, const char* buf, int toWrite, int* errorCode) {
  size_t n = std::fwrite(buf, 1, static_cast<size_t>(toWrite), stdout);
  if (n != static_cast<size_t>(toWrite)) {
    *errorCode = EIO;
    return -1;
  }
  return toWrite;
}
void StdoutWatch(ClientData, int) {}
int StdoutHandle(ClientData, int, ClientData*) {
  return TCL_ERROR;
}

Tcl_ChannelType stdoutType = {
    const_cast<char*>("qzstdout"),
    TCL_CHANNEL_VERSION_5,
    StdoutClose,
    StdoutInput,
    StdoutOutput,
    nullptr,  // seek
    nullptr,  // set option
    nullptr,  // get option
    StdoutWatch,
    StdoutHandle,
    nullptr,  // close2
    nullptr,  // block mode
    nullptr,  // flush
    nullptr,  // handler
    nullptr,  // wide seek
    nullptr,  // thread action
    nullptr,  // truncate
};

}  // namespace

void installStdout() {
  static Tcl_Channel chan = nullptr;
  if (chan == nullptr) {
    chan = Tcl_CreateChannel(&stdoutType, "stdout", nullptr, TCL_WRITABLE);
    Tcl_RegisterChannel(nullptr, chan);  // a reference of our own: interpreters come and go
    Tcl_SetChannelOption(nullptr, chan, "-buffering", "none");
    Tcl_SetChannelOption(nullptr, chan, "-translation", "lf");  // C's stdio translates
    Tcl_SetChannelOption(nullptr, chan, "-encoding", "utf-8");
  }
  Tcl_SetStdChannel(chan, TCL_STDOUT);
}

}  // namespace qz
