// Fuzz target: HttpAdaptor reads an answer alike in pieces of any size: a body of at most 16 MiB
// or a network error. Input: a byte (low five bits: MiB of 'a' appended), a size pick, bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qznet.h"

// The bytes, then the end: the first `picked` in pieces that vary with pick, the rest in 64 KiB.
struct Pieces : qz::Adaptor {
  Pieces(const std::string& bytes, size_t picked, unsigned pick)
      : bytes(bytes), picked(picked), pick(pick) {}
  void write(const qz::Buffer&) override {}
  bool read(qz::Buffer& into) override {
    if (offset == bytes.size()) return false;
    size_t n = pick == 0 || offset >= picked
                   ? 1u << 16
                   : 1 + (pick * ++reads * 2654435761u >> 7) % (pick % 64 + 1);
    if (n > bytes.size() - offset) n = bytes.size() - offset;
    into.append(bytes.data() + offset, n);
    offset += n;
    return true;
  }
  const std::string& bytes;
  size_t picked, offset = 0;
  unsigned pick, reads = 0;
};

// The body read, "error" for a network error, or what is wrong ("!" first).
std::string answer(const std::string& bytes, size_t picked, unsigned pick) {
  qz::Connection c(qz::net::Socket(), qz::PortAddr("127.0.0.1", "1"), 1000);
  c.push(new Pieces(bytes, picked, pick));
  c.push(new qz::HttpAdaptor(true));
  qz::Buffer body;
  try {
    c.read(body);
  } catch (const qz::X& x) {
    return x.kind == qz::kXNet ? "error" : "! not a network error";
  }
  if (body.size() > qz::HttpAdaptor::kMaxAnswer) return "! a body over 16 MiB";
  return "body " + std::string(body.getROPtr(0), body.size());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  std::string bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  bytes.append(static_cast<size_t>(data[0] & 0x1F) << 20, 'a');
  std::string pieces = answer(bytes, size - 2, data[1]), whole = answer(bytes, size - 2, 0);
  if (pieces[0] != '!' && pieces == whole) return 0;
  std::fprintf(stderr, "%.200s\nread at once: %.200s\n", pieces.c_str(), whole.c_str());
  std::abort();
}
