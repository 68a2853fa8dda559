// The state of the POSIX stand-in for the Windows service manager, shared by the stand-in
// itself (kelda's platform layer) and by the service glue of programs it runs. Everything
// lives in files under one directory: QZ_SCM_DIR, else $XDG_STATE_HOME/qz-scm, else
// ~/.local/state/qz-scm.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qz {
namespace scm {

std::string stateDir();
// Service names are case-insensitive: files are named by the lower-cased name.
std::string fileName(const std::string& name);

// An exclusive lock on the state directory, held while the object lives. Every change of the
// state files happens under it, so that processes running at once see each other's changes
// whole. ok() is false when the directory cannot be made or locked.
class Lock {
 public:
  explicit Lock(const std::string& dir);
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

// What a service last reported about itself (the Windows status record's fields).
struct Status {
  uint32_t state = 1;  // stopped
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
  uint32_t exitCode = 0;
  int pid = 0;                   // the service's process, 0 when there is none
  uint32_t serviceExitCode = 0;  // with exitCode 1066: the service's own failure code
  // While a failed service waits to be started again: the process that will start it.
  int supervisor = 0;
};

// Status files: status/<file name>. read fails when there is no file.
bool readStatus(const std::string& dir, const std::string& name, Status& status);
bool writeStatus(const std::string& dir, const std::string& name, const Status& status);
void removeStatus(const std::string& dir, const std::string& name);

// A service's record (services/<file name>): one "key=value" line a field (name, display,
// binpath, account, description, deleted, failure actions, ...).
struct Record {
  std::map<std::string, std::string> fields;
  std::string& operator[](const char* key) { return fields[key]; }
};
bool readRecord(const std::string& dir, const std::string& name, Record& record);
bool writeRecord(const std::string& dir, const std::string& name, const Record& record);
// The record and the status both go.
void removeService(const std::string& dir, const std::string& name);

// Some service shows under that display name (in any case).
bool displayNameTaken(const std::string& dir, const std::string& display);

// True while the process runs; one that has ended but that nobody has reaped yet (a zombie)
// counts as gone.
bool alive(int pid);

// The service's status, corrected for a process that ended without saying so and for a
// supervisor that is gone; a service marked for deletion goes once it has stopped. Call
// under the lock.
Status currentStatus(const std::string& dir, const std::string& name);

// Whole files: writes go through qz::sys::writeWholeFile.
bool readWholeFile(const std::string& path, std::string& text);
// Appends text to the file, made when missing; true when all of it was written.
bool appendToFile(const std::string& path, const std::string& text);
bool makeDirs(const std::string& path);
// The names in a directory, less "." and ".." and temporary files being written.
bool listDirectory(const std::string& path, std::vector<std::string>& names);

}  // namespace scm
}  // namespace qz
