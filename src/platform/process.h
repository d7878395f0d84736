// Process-level services: the documents folder, the single-instance guard
// and the signals that quit the server or reopen its log.
#pragma once

#include <string>

namespace zanth::platform {

// The user's documents folder: $XDG_DOCUMENTS_DIR when it is an absolute
// path, else $HOME/Documents. No trailing "/". Empty when neither is known.
std::string DocumentsFolder();

// The running program's own path, symbolic links resolved; empty when the
// system does not tell.
std::string ExecutablePath();

// Holds the right to be the one server for a data directory, as an abstract
// local socket named after it: nothing is created on disk, and the name is
// released by the system when the process ends, however it ends.
class SingleInstance {
 public:
  SingleInstance() = default;
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // True when this process now holds the name for key; false when another
  // process holds it.
  bool Acquire(const std::string& key);

 private:
  int fd_ = -1;
};

// Makes SIGINT and SIGTERM request a quit, SIGHUP request a log reopen, and
// ignores SIGPIPE. Returns a descriptor that becomes readable once either
// was requested; -1 when it could not be made.
int InstallSignalHandlers();
bool QuitRequested();
// Requests a quit as the signals do (for the console's own quit key).
void RequestQuit();
// True when a SIGHUP arrived since the last call; several fold into one.
// Empties the descriptor of InstallSignalHandlers(), which would otherwise
// stay readable. Call it from the main loop, never from a handler.
bool TakeHangup();
// Makes SIGHUP request a quit instead of a log reopen: for a process that
// lives in its terminal, closing the terminal is closing the program.
// REQUIRES: InstallSignalHandlers() ran.
void QuitOnHangup();
// Stops the process as the terminal's suspend key would (SIGTSTP); returns
// once it is continued.
void SuspendProcess();

// Gives the heap's free pages back to the system. After a burst of large
// queues the allocator keeps the freed memory for the process, and the
// resident size would stay at the burst's peak.
void ReleaseFreeMemory();
// Lets freed memory stay with the process until ReleaseFreeMemory: without
// this the allocator gives the top of its heap back after every burst of
// frees and takes it again, page by page, on the next burst.
void KeepFreedMemory();
// size bytes of zeroed memory of their own, apart from the allocator's heap
// (size a multiple of the page size); nullptr when there is none. Given
// back whole by UnmapPages.
void* MapPages(std::size_t size);
void UnmapPages(void* pages, std::size_t size);

// True when descriptor fd is a terminal.
bool IsTerminal(int fd);
// True when the far end of descriptor fd is gone: a terminal that was
// closed reads as end of file forever and stays readable.
bool HungUp(int fd);

}  // namespace zanth::platform
