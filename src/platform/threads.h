// Thread and lock primitives offered to the rest of the program under their
// fixed names. Nothing in the server starts a second thread; the locks guard
// the transport's lists and are never contended.
#pragma once

#include <memory>

namespace zanth::platform {

struct ThreadRecord;
struct LockRecord;

using ThreadEntry = void (*)(void* argument);
using LockHandle = LockRecord*;

// Starts a thread that runs entry(argument). Returns nullptr when the record
// cannot be allocated or the thread cannot start.
ThreadRecord* TVK_CreateThread(ThreadEntry entry, void* argument);
// Frees the record; the thread is neither stopped nor waited for.
void TVK_DestroyThread(ThreadRecord* thread);
void TVK_YieldThread();

// A recursive, process-local lock, not held. The name is not used.
LockHandle TVK_CreateSemaphore(const char* name);
// Returns non-zero on success.
int TVK_DeleteSemaphore(LockHandle lock);
// Takes the lock without waiting; true when it is now held.
bool TVK_TrySemaphore(LockHandle lock);
// Waits for the lock; 0 when it is held.
int TVK_WaitSemaphore(LockHandle lock);
// Releases one hold; non-zero on success.
int TVK_ReleaseSemaphore(LockHandle lock);

// RAII owner of a named lock.
class NamedLock {
 public:
  explicit NamedLock(const char* name) : handle_(TVK_CreateSemaphore(name)) {}
  ~NamedLock() {
    if (handle_ != nullptr) TVK_DeleteSemaphore(handle_);
  }
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;
  LockHandle handle() const { return handle_; }

 private:
  LockHandle handle_;
};

// Holds a named lock for a scope.
class LockHold {
 public:
  explicit LockHold(const NamedLock& lock) : handle_(lock.handle()) {
    if (handle_ != nullptr) TVK_WaitSemaphore(handle_);
  }
  ~LockHold() {
    if (handle_ != nullptr) TVK_ReleaseSemaphore(handle_);
  }
  LockHold(const LockHold&) = delete;
  LockHold& operator=(const LockHold&) = delete;

 private:
  LockHandle handle_;
};

}  // namespace zanth::platform
