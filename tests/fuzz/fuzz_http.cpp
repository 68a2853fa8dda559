// Fuzz target: a monitor's answer as HttpAdaptor reads it: a body of at most 16 MiB or a
// network error, the same whatever sizes the bytes arrive in. Input: a byte whose low five
// bits give MiB of 'a' sent after the bytes, a byte picking the sizes, then the bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qznet.h"

namespace {

// The bottom of the stack: the bytes in pieces of varying sizes, then the end of the stream.
class ScriptedAdaptor : public qz::Adaptor {
 public:
  ScriptedAdaptor(const std::string& bytes, size_t picked, unsigned pick)
      : bytes_(bytes), picked_(picked), pick_(pick) {}
  void write(const qz::Buffer&) override {}
  bool read(qz::Buffer& into) override {
    if (offset_ == bytes_.size()) return false;
    // The input in pieces of 1 byte up, varying per read; with pick 0, and the filler, 64 KiB.
    size_t n = pick_ == 0 || offset_ >= picked_
                   ? 1u << 16
                   : 1 + (pick_ * ++reads_ * 2654435761u >> 7) % (pick_ % 64 + 1);
    if (n > bytes_.size() - offset_) n = bytes_.size() - offset_;
    into.append(bytes_.data() + offset_, n);
    offset_ += n;
    return true;
  }

 private:
  const std::string& bytes_;
  size_t picked_, offset_ = 0;
  unsigned pick_, reads_ = 0;
};

// The body read, "error" for a network error, or what is wrong ("!" first).
std::string answer(const std::string& bytes, size_t picked, unsigned pick) {
  qz::Connection connection(qz::net::Socket(), qz::PortAddr("127.0.0.1", "1"), 1000);
  connection.push(new ScriptedAdaptor(bytes, picked, pick));
  connection.push(new qz::HttpAdaptor(true));
  qz::Buffer body;
  try {
    connection.read(body);
  } catch (const qz::X& x) {
    return x.kind == qz::kXNet ? "error" : "! an error that is not a network error";
  }
  if (body.size() > qz::HttpAdaptor::kMaxAnswer) return "! a body over 16 MiB was accepted";
  return "body " + std::string(body.getROPtr(0), body.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  std::string bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  bytes.append(static_cast<size_t>(data[0] & 0x1F) << 20, 'a');
  std::string pieces = answer(bytes, size - 2, data[1]), whole = answer(bytes, size - 2, 0);
  if (pieces[0] != '!' && pieces == whole) return 0;
  std::fprintf(stderr, "%.200s\nread at once: %.200s\n", pieces.c_str(), whole.c_str());
  std::abort();
}
