// Thread and lock primitives over POSIX threads.
#include "platform/threads.h"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <new>

namespace zanth::platform {

struct ThreadRecord {
  pthread_t handle{};
  unsigned long id = 0;
  void* argument = nullptr;
  ThreadEntry entry = nullptr;
};

struct LockRecord {
  pthread_mutex_t mutex;
};

namespace {

void* RunThread(void* raw) {
  auto* record = static_cast<ThreadRecord*>(raw);
  record->entry(record->argument);
  return nullptr;
}

}  // namespace

ThreadRecord* TVK_CreateThread(ThreadEntry entry, void* argument) {
  auto* record = new (std::nothrow) ThreadRecord;
  if (record == nullptr) return nullptr;
  record->entry = entry;
  record->argument = argument;
  if (pthread_create(&record->handle, nullptr, RunThread, record) != 0) {
    delete record;
    return nullptr;
  }
  pthread_detach(record->handle);
  record->id = static_cast<unsigned long>(record->handle);
  return record;
}

void TVK_DestroyThread(ThreadRecord* thread) { delete thread; }

void TVK_YieldThread() {}

LockHandle TVK_CreateSemaphore(const char* /*name*/) {
  auto* lock = new (std::nothrow) LockRecord;
  if (lock == nullptr) return nullptr;
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  // A lock whose owner ended while holding it can be taken again.
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  int rc = pthread_mutex_init(&lock->mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (rc != 0) {
    delete lock;
    return nullptr;
  }
  return lock;
}

int TVK_DeleteSemaphore(LockHandle lock) {
  if (lock == nullptr) return 0;
  int rc = pthread_mutex_destroy(&lock->mutex);
  delete lock;
  return rc == 0 ? 1 : 0;
}

bool TVK_TrySemaphore(LockHandle lock) {
  if (lock == nullptr) return false;
  int rc = pthread_mutex_trylock(&lock->mutex);
  if (rc == EOWNERDEAD) {
    pthread_mutex_consistent(&lock->mutex);
    rc = 0;
  }
  return rc == 0;
}

int TVK_WaitSemaphore(LockHandle lock) {
  if (lock == nullptr) return EINVAL;
  int rc = pthread_mutex_lock(&lock->mutex);
  if (rc == EOWNERDEAD) rc = pthread_mutex_consistent(&lock->mutex);
  return rc;
}

int TVK_ReleaseSemaphore(LockHandle lock) {
  if (lock == nullptr) return 0;
  return pthread_mutex_unlock(&lock->mutex) == 0 ? 1 : 0;
}

}  // namespace zanth::platform
