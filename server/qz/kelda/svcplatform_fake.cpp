#include "svcplatform_fake.h"

#include <algorithm>
#include <cstdio>

#include "qzlog.h"

namespace winsvc {

bool FakePlatform::fails(const std::string& call) {
  calls.push_back(call);
  auto always = failAll.find(call.substr(0, call.find(' ')));
  failed_ = always != failAll.end() || static_cast<int>(calls.size()) == failNumber;
  if (failed_) lastError = always != failAll.end() ? always->second : failError;
  return failed_;
}

int FakePlatform::count(const std::string& call) const {
  return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const std::string& c) {
    return c.compare(0, call.size(), call) == 0;
  }));
}

std::string FakePlatform::hex(DWORD n) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(n));
  return text;
}

BOOL FakePlatform::report(std::deque<SERVICE_STATUS>& script, DWORD next, Service& s,
                          SERVICE_STATUS* status) {
  *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, next, 0, 0, 0, 0, 0};
  if (!script.empty()) *status = script.front(), script.pop_front();
  s.state = status->dwCurrentState;
  return 1;
}

void FakePlatform::attachLog() {
  qz::log::setFileObserver([this](bool opened) {
    if (opened || everyLogLineOpens) lastError = 183;  // ERROR_ALREADY_EXISTS
  });
}

void FakePlatform::detachLog() {
  qz::log::setFileObserver(nullptr);
}

BOOL FakePlatform::ChangeServiceConfig2A(SC_HANDLE service, DWORD level, void* info) {
  if (fails("ChangeServiceConfig2A")) return 0;
  Service& s = services[open_.at(service)];
  if (level == SERVICE_CONFIG_DESCRIPTION) {
    s.description = static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription;
    return 1;
  }
  if (level != SERVICE_CONFIG_FAILURE_ACTIONS) return refuse(ERROR_INVALID_PARAMETER);
  const auto* failure = static_cast<SERVICE_FAILURE_ACTIONSA*>(info);
  s.failureActions = "reset " + std::to_string(failure->dwResetPeriod) + ":";
  for (DWORD i = 0; i < failure->cActions; ++i)
    s.failureActions += " " + std::to_string(failure->lpsaActions[i].Type) + "/" +
                        std::to_string(failure->lpsaActions[i].Delay);
  return 1;
}

}  // namespace winsvc
