// The thin file layer over POSIX descriptors.
#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace zanth::platform {
namespace {

struct WriteFault {
  std::mutex mutex;
  std::string prefix;
  int error = 0;
};

WriteFault& TheWriteFault() {
  static WriteFault fault;
  return fault;
}

int WriteFaultFor(const std::string& path) {
  WriteFault& fault = TheWriteFault();
  std::lock_guard<std::mutex> lock(fault.mutex);
  return !fault.prefix.empty() && path.starts_with(fault.prefix) ? fault.error : 0;
}

}  // namespace

void InjectWriteFault(const std::string& prefix, int error) {
  WriteFault& fault = TheWriteFault();
  std::lock_guard<std::mutex> lock(fault.mutex);
  fault.prefix = prefix;
  fault.error = error;
}

File::~File() { Close(); }

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      error_(other.error_),
      write_fault_(other.write_fault_),
      fault_started_(other.fault_started_) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    error_ = other.error_;
    write_fault_ = other.write_fault_;
    fault_started_ = other.fault_started_;
  }
  return *this;
}

int File::Open(const std::string& path, int flags, int create_mode) {
  Close();
  int mode = 0;
  if ((flags & kOpenRead) && (flags & kOpenWrite)) {
    mode = O_RDWR;
  } else if (flags & kOpenWrite) {
    mode = O_WRONLY;
  } else {
    mode = O_RDONLY;
  }
  if (flags & kOpenCreate) mode |= O_CREAT;
  if (flags & kOpenTruncate) mode |= O_TRUNC;
  if (flags & kOpenAppend) mode |= O_APPEND;
  mode |= O_CLOEXEC;
  do {
    fd_ = ::open(path.c_str(), mode, static_cast<mode_t>(create_mode));
  } while (fd_ < 0 && errno == EINTR);
  error_ = fd_ < 0 ? errno : 0;
  write_fault_ = (flags & kOpenWrite) ? WriteFaultFor(path) : 0;
  fault_started_ = false;
  return error_;
}

long File::Read(void* buffer, std::size_t count) {
  ssize_t n;
  do {
    n = ::read(fd_, buffer, count);
  } while (n < 0 && errno == EINTR);
  if (n < 0) error_ = errno;
  return n;
}

long File::ReadAt(void* buffer, std::size_t count, std::uint64_t offset) {
  ssize_t n;
  do {
    n = ::pread(fd_, buffer, count, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  if (n < 0) error_ = errno;
  return n;
}

long File::Write(const void* buffer, std::size_t count) {
  if (write_fault_ != 0) {
    if (fault_started_ || count < 2) {
      error_ = write_fault_;
      return -1;
    }
    fault_started_ = true;
    count /= 2;
  }
  ssize_t n;
  do {
    n = ::write(fd_, buffer, count);
  } while (n < 0 && errno == EINTR);
  if (n < 0) error_ = errno;
  return n;
}

int File::WriteAll(const void* buffer, std::size_t count) {
  const char* p = static_cast<const char*>(buffer);
  while (count > 0) {
    long n = Write(p, count);
    if (n < 0) return error_;
    if (n == 0) return error_ = EIO;
    p += n;
    count -= static_cast<std::size_t>(n);
  }
  return 0;
}

long File::Seek(long offset, int whence) {
  off_t pos = ::lseek(fd_, offset, whence);
  if (pos < 0) error_ = errno;
  return static_cast<long>(pos);
}

int File::Sync() {
  if (::fsync(fd_) != 0) return error_ = errno;
  return 0;
}

void File::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

int ReadWholeFile(const std::string& path, std::string* contents) {
  File file;
  if (int rc = file.Open(path, kOpenRead); rc != 0) return rc;
  contents->clear();
  char buffer[65536];
  for (;;) {
    long n = file.Read(buffer, sizeof buffer);
    if (n < 0) return file.error();
    if (n == 0) break;
    contents->append(buffer, static_cast<std::size_t>(n));
  }
  return 0;
}

int WriteWholeFile(const std::string& path, const std::string& contents) {
  File file;
  if (int rc = file.Open(path, kOpenWrite | kOpenCreate | kOpenTruncate);
      rc != 0) {
    return rc;
  }
  return file.WriteAll(contents.data(), contents.size());
}

int WriteFileAtomically(const std::string& path, const std::string& contents, int mode) {
  std::string temporary = path + ".tmp";
  int rc;
  {
    // One left behind by a crash would keep its old mode.
    ::unlink(temporary.c_str());
    File file;
    rc = file.Open(temporary, kOpenWrite | kOpenCreate | kOpenTruncate, mode);
    if (rc != 0) return rc;
    rc = file.WriteAll(contents.data(), contents.size());
    if (rc == 0) rc = file.Sync();
  }
  if (rc == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) rc = errno;
  if (rc != 0) ::unlink(temporary.c_str());
  return rc;
}

int MakePrivate(const std::string& path, bool* changed) {
  *changed = false;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
  if ((st.st_mode & 077) == 0) return 0;
  if (::chmod(path.c_str(), st.st_mode & 07700) != 0) return errno;
  *changed = true;
  return 0;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int MakeDirectory(const std::string& path) {
  return ::mkdir(path.c_str(), 0755) == 0 ? 0 : errno;
}

int RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

int RenameFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

namespace {

// The entries of a folder for which keep(full path) holds.
int ListEntries(const std::string& path, bool (*keep)(const std::string&),
                std::vector<std::string>* names) {
  names->clear();
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return errno;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (keep(path + "/" + name)) names->push_back(std::move(name));
  }
  ::closedir(dir);
  return 0;
}

}  // namespace

int ListDirectory(const std::string& path, std::vector<std::string>* names) {
  return ListEntries(path, FileExists, names);
}

int ListSubdirectories(const std::string& path, std::vector<std::string>* names) {
  return ListEntries(path, DirectoryExists, names);
}

bool RegularFileStatus(const std::string& path, std::uint64_t* size, std::int64_t* modified) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *size = static_cast<std::uint64_t>(st.st_size);
  *modified = static_cast<std::int64_t>(st.st_mtime);
  return true;
}

std::string CanonicalPath(const std::string& path) {
  std::string absolute = path;
  if (char* resolved = ::realpath(path.c_str(), nullptr)) {
    absolute = resolved;
    std::free(resolved);
  } else if (path.empty() || path[0] != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) != nullptr) absolute = std::string(cwd) + "/" + path;
  }
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return absolute;
}

}  // namespace zanth::platform
