// Files, locks, the single-instance guard and the host's address.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/threads.h"
#include "support/test_support.h"

namespace zanth::platform {
namespace {

TEST(FileTest, AtomicWriteReplacesAndLeavesNoTemporary) {
  testing::TempDir dir;
  std::string path = dir.File("zanth.conf");
  ASSERT_EQ(0, WriteFileAtomically(path, "first"));
  ASSERT_EQ(0, WriteFileAtomically(path, "second"));
  std::string text;
  ASSERT_EQ(0, ReadWholeFile(path, &text));
  EXPECT_EQ("second", text);
  std::vector<std::string> names;
  ASSERT_EQ(0, ListDirectory(dir.path(), &names));
  EXPECT_EQ(std::vector<std::string>{"zanth.conf"}, names);
}

TEST(FileTest, FailedAtomicWriteKeepsThePreviousFile) {
  testing::TempDir dir;
  std::string path = dir.File("zanth.conf");
  ASSERT_EQ(0, WriteFileAtomically(path, "kept"));
  // A directory where the temporary file should go makes the write fail.
  ASSERT_EQ(0, MakeDirectory(path + ".tmp"));
  EXPECT_NE(0, WriteFileAtomically(path, "lost"));
  std::string text;
  ASSERT_EQ(0, ReadWholeFile(path, &text));
  EXPECT_EQ("kept", text);
}

// Every file the server keeps is written through WriteFileAtomically. A
// writer killed at any moment leaves one whole version, never a part.
TEST(FileTest, AtomicWriteSurvivesAKillAtAnyMoment) {
  testing::TempDir dir;
  const std::string path = dir.File("state");
  const std::string a(70000, 'a');
  const std::string b(3000, 'b');
  ASSERT_EQ(0, WriteFileAtomically(path, a));
  for (int round = 0; round < 40; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0; i < 1000000; ++i) (void)WriteFileAtomically(path, i % 2 ? a : b);
      _exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500 + 250 * round));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    std::string now = testing::ReadFileText(path);
    ASSERT_TRUE(now == a || now == b) << "round " << round << ": " << now.size() << " bytes";
  }
}

// A write that fails partway through, as on a full disk, changes nothing.
TEST(FileTest, InjectedWriteFaultKeepsThePreviousFile) {
  testing::TempDir dir;
  const std::string path = dir.File("kept");
  ASSERT_EQ(0, WriteFileAtomically(path, "old"));
  InjectWriteFault(dir.path(), ENOSPC);
  EXPECT_EQ(ENOSPC, WriteFileAtomically(path, std::string(5000, 'n')));
  InjectWriteFault("", 0);
  EXPECT_EQ("old", testing::ReadFileText(path));
  EXPECT_FALSE(FileExists(path + ".tmp"));
  EXPECT_EQ(0, WriteFileAtomically(path, "new"));
  EXPECT_EQ("new", testing::ReadFileText(path));
}

TEST(FileTest, OpenFlagsAndErrors) {
  testing::TempDir dir;
  File f;
  EXPECT_EQ(ENOENT, f.Open(dir.File("missing"), kOpenRead));
  ASSERT_EQ(0, f.Open(dir.File("a"), kOpenWrite | kOpenCreate));
  ASSERT_EQ(0, f.WriteAll("abcdef", 6));
  EXPECT_EQ(2, f.Seek(2, SEEK_SET));
  f.Close();
  ASSERT_EQ(0, f.Open(dir.File("a"), kOpenWrite | kOpenCreate | kOpenTruncate));
  f.Close();
  std::string text = "x";
  ASSERT_EQ(0, ReadWholeFile(dir.File("a"), &text));
  EXPECT_EQ("", text);
  EXPECT_EQ(EEXIST, MakeDirectory(dir.path()));
}

// Accounts and bans are for the owner's eyes: new files, files rewritten
// over a temporary left behind with other permissions, and older files.
TEST(FileTest, PrivateFilesAreOwnerOnly) {
  testing::TempDir dir;
  auto mode = [](const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
  };
  const std::string path = dir.File("passwds");
  ASSERT_EQ(0, WriteFileAtomically(path, "one", kModePrivate));
  EXPECT_EQ(0600, mode(path));
  ASSERT_EQ(0, WriteWholeFile(path + ".tmp", "left by a crash"));
  ASSERT_EQ(0, chmod((path + ".tmp").c_str(), 0644));
  ASSERT_EQ(0, WriteFileAtomically(path, "two", kModePrivate));
  EXPECT_EQ(0600, mode(path));
  EXPECT_EQ("two", testing::ReadFileText(path));

  const std::string older = dir.File("banlist");
  ASSERT_EQ(0, WriteFileAtomically(older, "bans"));
  ASSERT_EQ(0, chmod(older.c_str(), 0664));
  bool changed = false;
  EXPECT_EQ(0, MakePrivate(older, &changed));
  EXPECT_TRUE(changed);
  EXPECT_EQ(0600, mode(older));
  EXPECT_EQ(0, MakePrivate(older, &changed));
  EXPECT_FALSE(changed);
  EXPECT_EQ(0, MakePrivate(dir.File("missing"), &changed));
  EXPECT_FALSE(changed);
}

// One data directory has one key however it is named.
TEST(FileTest, CanonicalPathNamesOneDirectoryOneWay) {
  testing::TempDir dir;
  const std::string real = CanonicalPath(dir.path());
  ASSERT_EQ(0, MakeDirectory(real + "/site"));
  ASSERT_EQ(0, symlink((real + "/site").c_str(), (real + "/link").c_str()));
  for (const std::string& name : {real + "/site", real + "/site/", real + "/link/",
                                  real + "/site/../site", real + "//site/."}) {
    EXPECT_EQ(real + "/site", CanonicalPath(name)) << name;
  }
  // A directory yet to be made keeps its name, made absolute.
  EXPECT_EQ(real + "/new", CanonicalPath(real + "/new/"));
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  EXPECT_EQ(std::string(cwd) + "/not-there-yet", CanonicalPath("not-there-yet"));
}

TEST(LockTest, RecursiveAndExclusiveBetweenThreads) {
  LockHandle lock = TVK_CreateSemaphore("ConnectListMutex");
  ASSERT_NE(nullptr, lock);
  EXPECT_EQ(0, TVK_WaitSemaphore(lock));
  EXPECT_TRUE(TVK_TrySemaphore(lock));  // the owner may take it again
  std::atomic<int> other{-1};
  std::thread t([&] { other = TVK_TrySemaphore(lock) ? 1 : 0; });
  t.join();
  EXPECT_EQ(0, other.load());
  EXPECT_NE(0, TVK_ReleaseSemaphore(lock));
  EXPECT_NE(0, TVK_ReleaseSemaphore(lock));
  std::thread u([&] {
    other = TVK_TrySemaphore(lock) ? 1 : 0;
    if (other) TVK_ReleaseSemaphore(lock);
  });
  u.join();
  EXPECT_EQ(1, other.load());
  EXPECT_NE(0, TVK_DeleteSemaphore(lock));
}

TEST(ThreadTest, CreateRunsTheEntryWithItsArgument) {
  static std::atomic<int> value{0};
  static int argument = 17;
  ThreadRecord* t = TVK_CreateThread([](void* arg) { value = *static_cast<int*>(arg); },
                                     &argument);
  ASSERT_NE(nullptr, t);
  for (int i = 0; i < 500 && value.load() == 0; ++i) usleep(2000);
  EXPECT_EQ(17, value.load());
  TVK_DestroyThread(t);
}

// A terminal whose emulator went away reads as end of file forever; the
// console must see that as a hang-up, and a live one must not.
TEST(ProcessTest, HungUpTellsAClosedTerminalFromAQuietOne) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, grantpt(master));
  ASSERT_EQ(0, unlockpt(master));
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  EXPECT_FALSE(HungUp(slave));
  close(master);
  EXPECT_TRUE(HungUp(slave));
  close(slave);

  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  EXPECT_FALSE(HungUp(fds[0]));
  close(fds[1]);
  EXPECT_TRUE(HungUp(fds[0]));
  close(fds[0]);
}

TEST(SingleInstanceTest, SecondHolderOfOneKeyIsRefused) {
  testing::TempDir dir;
  SingleInstance first, second, other;
  EXPECT_TRUE(first.Acquire(dir.path() + "/My Zanth/"));
  EXPECT_FALSE(second.Acquire(dir.path() + "/My Zanth/"));
  EXPECT_TRUE(other.Acquire(dir.path() + "/Other/"));
  // Very long keys are hashed to fit and still exclude each other.
  SingleInstance long1, long2;
  std::string long_key(300, 'k');
  EXPECT_TRUE(long1.Acquire(long_key));
  EXPECT_FALSE(long2.Acquire(long_key));
}

// Visitors need an address other machines can reach; many systems map the
// host name to a loopback address, so the interfaces decide.
TEST(HostAddressTest, FirstUpNonLoopbackInterfaceAddressElseLoopback) {
  auto ip = [](const char* text) {
    std::uint32_t address = 0;
    EXPECT_TRUE(ParseIPv4(text, &address)) << text;
    return address;
  };
  struct Case {
    const char* expected;
    std::vector<InterfaceAddress> interfaces;
  };
  const Case cases[] = {
      {"127.0.0.1", {}},
      {"127.0.0.1", {{ip("127.0.0.1"), true, true}}},
      {"192.0.2.2", {{ip("127.0.0.1"), true, true}, {ip("192.0.2.2"), true, false}}},
      // The first one that is up wins; the system's order is kept.
      {"10.1.2.3",
       {{ip("127.0.0.1"), true, true}, {ip("192.168.9.9"), false, false},
        {ip("10.1.2.3"), true, false}, {ip("172.17.0.1"), true, false}}},
      // A 127/8 address is loopback on any interface.
      {"127.0.0.1", {{ip("127.0.1.1"), true, false}}},
      // A self-assigned address only when there is nothing better.
      {"198.51.100.7", {{ip("169.254.3.4"), true, false}, {ip("198.51.100.7"), true, false}}},
      {"169.254.3.4", {{ip("127.0.0.1"), true, true}, {ip("169.254.3.4"), true, false}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, FormatIPv4(ChooseHostAddress(c.interfaces)))
        << c.interfaces.size() << " interfaces";
  }
}

TEST(DocumentsFolderTest, XdgAbsoluteElseHome) {
  const char* old_home = getenv("HOME");
  std::string saved = old_home ? old_home : "";
  setenv("HOME", "/home/site", 1);
  setenv("XDG_DOCUMENTS_DIR", "relative/docs", 1);
  EXPECT_EQ("/home/site/Documents", DocumentsFolder());
  setenv("XDG_DOCUMENTS_DIR", "/srv/docs/", 1);
  EXPECT_EQ("/srv/docs", DocumentsFolder());
  unsetenv("XDG_DOCUMENTS_DIR");
  EXPECT_EQ("/home/site/Documents", DocumentsFolder());
  setenv("HOME", saved.c_str(), 1);
}

}  // namespace
}  // namespace zanth::platform
