// The thin file layer used by everything that reads and writes files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zanth::platform {

// Open flags; create and truncate together replace the contents.
inline constexpr int kOpenRead = 1;
inline constexpr int kOpenWrite = 2;
inline constexpr int kOpenCreate = 4;
inline constexpr int kOpenTruncate = 8;
inline constexpr int kOpenAppend = 16;  // every write goes to the end

// Permissions of the files the server writes: readable by everyone, or
// (accounts, bans) by their owner only.
inline constexpr int kModeShared = 0644;
inline constexpr int kModePrivate = 0600;

// An open file. Closed by its destructor. Read, Write and Seek return a count
// or position, or -1 with the system error kept in error().
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens path with the flags above; a file it creates gets create_mode
  // (less the umask). Returns 0 or the system error.
  [[nodiscard]] int Open(const std::string& path, int flags, int create_mode = kModeShared);
  bool is_open() const { return fd_ >= 0; }
  // The descriptor, for handing the file's bytes to a socket (SendFile).
  int descriptor() const { return fd_; }
  int error() const { return error_; }

  long Read(void* buffer, std::size_t count);
  // Reads at offset, leaving the file position where it is.
  long ReadAt(void* buffer, std::size_t count, std::uint64_t offset);
  long Write(const void* buffer, std::size_t count);
  // Writes all of count bytes; returns 0 or the system error.
  [[nodiscard]] int WriteAll(const void* buffer, std::size_t count);
  long Seek(long offset, int whence);
  // Flushes written data to the device. Returns 0 or the system error.
  [[nodiscard]] int Sync();
  void Close();

 private:
  int fd_ = -1;
  int error_ = 0;
  int write_fault_ = 0;       // an injected failure for this file's writes
  bool fault_started_ = false;
};

// Fault injection for tests: files opened for writing from now on under a
// path that starts with prefix take half of their first write and then fail
// every write with error, as a disk that fills up would. An empty prefix
// ends it. Files already open are not affected.
void InjectWriteFault(const std::string& prefix, int error);

// Reads a whole file. Returns 0 or the system error.
[[nodiscard]] int ReadWholeFile(const std::string& path, std::string* contents);

// Replaces path with contents without ever leaving a partial file behind:
// writes a new temporary file in the same directory with the given mode
// (less the umask), flushes it and renames it over path. On failure the previous
// file is untouched and the temporary file is removed. Returns 0 or the
// system error.
[[nodiscard]] int WriteFileAtomically(const std::string& path,
                                      const std::string& contents,
                                      int mode = kModeShared);

// Takes the group's and others' permissions off an existing file. Returns
// 0 (also when there were none, or there is no file) or the system error.
[[nodiscard]] int MakePrivate(const std::string& path, bool* changed);

// Writes contents to path, creating or truncating it. Returns 0 or the
// system error.
[[nodiscard]] int WriteWholeFile(const std::string& path,
                                 const std::string& contents);

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);

// Creates one directory. Returns 0, or the system error (EEXIST when it is
// already there).
[[nodiscard]] int MakeDirectory(const std::string& path);

// Removes a file. Returns 0 or the system error.
[[nodiscard]] int RemoveFile(const std::string& path);

// Renames a file, replacing the target. Returns 0 or the system error.
[[nodiscard]] int RenameFile(const std::string& from, const std::string& to);

// Names of the regular files in a directory (no "." or ".."), in the order
// the system lists them. Returns 0 or the system error.
[[nodiscard]] int ListDirectory(const std::string& path,
                                std::vector<std::string>* names);

// Names of the directories in a directory (no "." or ".."), in the order
// the system lists them. Returns 0 or the system error.
[[nodiscard]] int ListSubdirectories(const std::string& path,
                                     std::vector<std::string>* names);

// Size and modification time of a regular file (symbolic links followed).
// false when path names no regular file.
bool RegularFileStatus(const std::string& path, std::uint64_t* size, std::int64_t* modified);

// The absolute form of path, without a trailing "/": symbolic links and
// "." and ".." resolved when it exists, else the working directory put
// before a relative path.
std::string CanonicalPath(const std::string& path);

}  // namespace zanth::platform
