// Message catalogue look-ups and the text of kelda's errors.

#include <cstdio>

#include "xkelda.h"

std::string Xkelda::errorText() const {
  std::string text;
  if (winErrorCode != 0) {
    // A fixed 10-byte field: a code too long for it is cut, never overrun.
    char prefix[10];
    std::snprintf(prefix, sizeof prefix, "%d - ", winErrorCode);
    text += prefix;
  }
  text += getMessage(key);
  return text;
}

std::string getMessage(std::string key) {
  if (key.empty()) return std::string();
  std::string script = "msgcat::mc " + key;
  std::string text = qz::eval(script.c_str());
  // msgcat answers an unknown key with the key itself.
  if (text == key) return std::string();
  return text;
}

void printMessage(std::string key) {
  std::string script = "puts \"" + getMessage(key) + "\"";
  qz::eval(script.c_str());
}
