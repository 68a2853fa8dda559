#include "svcplatform.h"

namespace winsvc {
namespace {
Platform* replaced = nullptr;
}

Platform& platform() {
  return replaced != nullptr ? *replaced : realPlatform();
}

Platform* setPlatform(Platform* replacement) {
  Platform* previous = replaced;
  replaced = replacement;
  return previous;
}

}  // namespace winsvc
