// The event messages of the product's message file, qzerrors.mc (built into qzerrors.dll on
// Windows): the ids that programs report with qz::service::reportEvent. An id holds the
// severity in its top two bits and the event number, which Event Viewer shows, in its low word.
#pragma once

#include <cstdint>

namespace qz {
namespace event {

// The monitor serves; %1 is its address (host:port).
constexpr uint32_t kMonStarted = 0x40000001;
// The monitor stopped when asked to.
constexpr uint32_t kMonStopped = 0x40000002;
// The monitor could not start; %1 is the reason.
constexpr uint32_t kMonStartFailed = 0xC0000003;
// The monitor failed while it served; %1 is the reason.
constexpr uint32_t kMonServeFailed = 0xC0000004;

constexpr uint32_t number(uint32_t id) {
  return id & 0xFFFFu;
}

}  // namespace event
}  // namespace qz
