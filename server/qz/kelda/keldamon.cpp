// The monitor link and the two commands that use it: status and cmd.

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "keldacmds.h"
#include "qznet.h"
#include "qzsys.h"
#include "xkelda.h"

namespace {

// True when text between braces is one braced Tcl word: every brace that is not escaped has
// its partner and none closes before it opens. Only then does "{ text }" hold text whole; a
// brace that closes early ends the word and lets the rest be evaluated as Tcl.
bool bracesPairUp(const std::string& text) {
  int depth = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '{') {
      ++depth;
    } else if (text[i] == '}' && --depth < 0) {
      return false;
    }
  }
  return depth == 0;
}

}  // namespace

// The current instance is configured when its data directory holds a config.tcl.
void verifyMonCommInfo() {
  std::string config = qz::getVarStr("qz.datdir", "") + "/config.tcl";
  if (qz::sys::openFile(config, "r")) return;
  KELDA_THROW_AS("verifyMonCommInfo", KELDA_SRC, "Xkelda(\"qz.kelda.strings.nomonavailable\")",
                 Xkelda("qz.kelda.strings.nomonavailable"));
}

// One exchange with the current instance's monitor: the request goes out as one HTTP
// request, the answer is the body of the response, up to its first zero byte.
std::string sendToMon(std::string request) {
  try {
    verifyMonCommInfo();
    std::unique_ptr<qz::Connection> connection;
    {
      std::string host = qz::getVarStr("qz.kelda.monoamname", "");
      std::string port = qz::getVarStr("qz.kelda.monoamport", "");
      qz::PortAddr address(host.c_str(), port.c_str());
      connection = qz::tcp_connect(address);
    }
    connection->push(new qz::TcpAdaptor());
    connection->push(new qz::HttpAdaptor(true));
    {
      qz::Buffer out(0);
      out.append(request.c_str());
      connection->write(out);
    }
    qz::Buffer in(0);
    connection->read(in);
    std::unique_ptr<char[]> copy(new char[in.size() + 1]);
    std::memcpy(copy.get(), in.getROPtr(0), in.size());
    copy[in.size()] = '\0';
    std::string answer = copy.get();
    qz::tcp_close(*connection);
    return answer;
  } catch (Xkelda&) {
    throw;
  } catch (qz::X& x) {
    KELDA_LOG(1, "KELDA - monitor exchange failed - %s", x.errorText().c_str());
    KELDA_THROW("sendToMon", "qz.kelda.strings.cannotfindmon");
  }
}

// status ?-v?
int statusCmd(int argc, const char** argv) {
  try {
    bool verbose =
        argc > 1 && std::strlen(argv[1]) == 2 && ichar_traits::compare(argv[1], "-v", 2) == 0;
    printMessage("qz.kelda.strings.status");
    std::printf("%s\n", qz::getVarStr("qz.datdir", "").c_str());
    std::string answer = sendToMon("status");
    // An answer that the braces cannot hold fails as a Tcl error, as an unbalanced one does in
    // the evaluation, and is never evaluated.
    if (!bracesPairUp(answer))
      KELDA_THROW_AS("statusCmd", KELDA_SRC,
                     "qz::Xtcl( \"unbalanced braces in the monitor's answer\" )",
                     qz::Xtcl("unbalanced braces in the monitor's answer"));
    std::string script =
        "formatStatus { " + answer + " }" + (verbose ? " true true" : " true false");
    std::printf("%s\n", qz::eval(script.c_str()).c_str());
  } catch (Xkelda& x) {
    printMessage("qz.kelda.strings.statusfailure");
    std::printf("%s\n", x.errorText().c_str());
    keldaExit(-1);
  }
  return 0;
}

// cmd <request>
int cmdCmd(int argc, const char** argv) {
  if (argc < 2) KELDA_THROW_AS("bad cmd args", KELDA_SRC, "qz::Xtcl()", qz::Xtcl());
  std::printf("Sending: %s\n", argv[1]);
  try {
    std::string answer = sendToMon(argv[1]);
    std::printf("%s\n", answer.c_str());
  } catch (Xkelda& x) {
    std::printf("%s\n", x.errorText().c_str());
    keldaExit(-1);
  }
  return 0;
}
