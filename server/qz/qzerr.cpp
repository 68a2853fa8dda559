#include "qzerr.h"

#include "qz.h"

namespace qz {

std::string X::errorText() const {
  if (!text.empty()) return text;
  return "error " + std::to_string(kind) + "." + std::to_string(code);
}

std::string Xtcl::errorText() const {
  return text.empty() ? "Tcl evaluation failed" : text;
}

// The text rules of names (qz.h).
std::string lowerAscii(std::string text) {
  for (char& c : text) c = lowerAscii(c);
  return text;
}

std::string forwardSlashes(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

}  // namespace qz

int ichar_traits::compare(const char* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char fa = fold(a[i]), fb = fold(b[i]);
    if (fa != fb) return fa < fb ? -1 : 1;
  }
  return 0;
}
