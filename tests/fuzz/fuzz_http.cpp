// Fuzz target: a monitor's answer, read by HttpAdaptor in chunks of fuzz-chosen sizes: a body of
// at most 16 MiB or a network error, nothing else. Input: a byte whose low five bits give MiB
// of 'a' sent after the bytes, a byte picking the chunk sizes, then the bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qznet.h"

namespace {

// The bottom of the stack: the scripted bytes, then the end of the stream.
class ScriptedAdaptor : public qz::Adaptor {
 public:
  ScriptedAdaptor(const uint8_t* data, size_t size, unsigned chunkPick, size_t fillerBytes)
      : data_(data), size_(size), filler_(fillerBytes), chunkPick_(chunkPick) {}

  void write(const qz::Buffer&) override {}

  bool read(qz::Buffer& into) override {
    if (offset_ < size_) {
      // Chunk sizes from 1 byte up, varying from one read to the next.
      size_t n = 1 + (chunkPick_ * ++reads_ * 2654435761u >> 7) % (chunkPick_ % 64 + 1);
      if (n > size_ - offset_) n = size_ - offset_;
      into.append(reinterpret_cast<const char*>(data_) + offset_, n);
      offset_ += n;
      return true;
    }
    if (filler_ > 0) {
      static const std::string block(64 * 1024, 'a');
      size_t n = filler_ < block.size() ? filler_ : block.size();
      into.append(block.data(), n);
      filler_ -= n;
      return true;
    }
    return false;
  }

 private:
  const uint8_t* data_;
  size_t size_, filler_, offset_ = 0;
  unsigned chunkPick_, reads_ = 0;
};

[[noreturn]] void broken(const char* what) {
  std::fputs(what, stderr);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t filler = static_cast<size_t>(data[0] & 0x1F) << 20;
  unsigned chunkPick = data[1];
  qz::Connection connection(qz::net::Socket(), qz::PortAddr("127.0.0.1", "1"), 1000);
  connection.push(new ScriptedAdaptor(data + 2, size - 2, chunkPick, filler));
  connection.push(new qz::HttpAdaptor(true));
  qz::Buffer body;
  try {
    connection.read(body);
    if (body.size() > qz::HttpAdaptor::kMaxAnswer) broken("a body over 16 MiB was accepted");
  } catch (const qz::X& x) {
    if (x.kind != qz::kXNet) broken("an error that is not a network error");
  } catch (...) {
    broken("an exception that is not qz::X");
  }
  return 0;
}
