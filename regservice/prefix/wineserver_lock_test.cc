#include "regservice/prefix/wineserver_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "regservice/prefix/test_dir.h"

namespace regservice {
namespace prefix {
namespace {

// Another process that holds the write lock on byte 0 of a file, as a
// running wineserver does, until it is stopped.
class LockHolder {
 public:
  explicit LockHolder(const std::string& path) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      int fd = open(path.c_str(), O_RDWR);
      struct flock request;
      memset(&request, 0, sizeof request);
      request.l_type = F_WRLCK;
      request.l_whence = SEEK_SET;
      request.l_len = 1;
      char ok = (fd >= 0 && fcntl(fd, F_SETLK, &request) == 0) ? '1' : '0';
      if (write(ready[1], &ok, 1) != 1) _exit(1);
      pause();
      _exit(0);
    }
    close(ready[1]);
    char ok = '0';
    if (read(ready[0], &ok, 1) != 1) ok = '0';
    close(ready[0]);
    locked_ = ok == '1';
  }
  ~LockHolder() { Stop(); }
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  bool locked() const { return locked_; }

 private:
  pid_t pid_ = -1;
  bool locked_ = false;
};

// Whether another process could take the lock now (as a starting server
// would try to).
bool OtherProcessCanLock(const std::string& path) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDWR);
    struct flock request;
    memset(&request, 0, sizeof request);
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    request.l_len = 1;
    _exit(fd >= 0 && fcntl(fd, F_SETLK, &request) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class WineserverLockTest : public ::testing::Test {
 protected:
  WineserverLockTest() {
    prefix_ = dir_ / "prefix";
    mkdir(prefix_.c_str(), 0755);
    struct stat st;
    stat(prefix_.c_str(), &st);
    char name[64];
    snprintf(name, sizeof name, "server-%llx-%llx",
             static_cast<unsigned long long>(st.st_dev),
             static_cast<unsigned long long>(st.st_ino));
    server_dir_name_ = name;
    // A user id no one has, so the /tmp/.wine-<uid> layout is ours alone.
    fake_uid_ = 3000000000u + static_cast<uid_t>(getpid());
  }
  ~WineserverLockTest() override {
    std::string upstream = UpstreamDir();
    unlink((upstream + "/" + server_dir_name_ + "/lock").c_str());
    rmdir((upstream + "/" + server_dir_name_).c_str());
    rmdir(upstream.c_str());
  }

  std::string UpstreamDir() const {
    return "/tmp/.wine-" + std::to_string(fake_uid_);
  }
  // Makes <base>/<server dir>/lock and returns its path.
  std::string MakeLockFile(const std::string& base) {
    mkdir(base.c_str(), 0700);
    std::string server = base + "/" + server_dir_name_;
    mkdir(server.c_str(), 0700);
    std::string lock = server + "/lock";
    TestDir::Write(lock, "");
    return lock;
  }
  WineserverLock Lock() {
    return WineserverLock(PosixEnv(), prefix_, dir_ / "tmp", fake_uid_);
  }

  TestDir dir_;
  std::string prefix_;
  std::string server_dir_name_;
  uid_t fake_uid_;
};

TEST_F(WineserverLockTest, CandidatesCoverBothLayoutsAndBothTempDirs) {
  TestDir::Write(prefix_ + "/wineserver", "wine-AbC123");
  std::vector<std::string> expected = {
      dir_ / "tmp/wine-AbC123/" + server_dir_name_ + "/lock",
      "/tmp/wine-AbC123/" + server_dir_name_ + "/lock",
      UpstreamDir() + "/" + server_dir_name_ + "/lock",
  };
  EXPECT_EQ(expected, Lock().CandidateLockFiles());
}

TEST_F(WineserverLockTest, WithoutNameFileOnlyUpstreamLayout) {
  std::vector<std::string> expected = {UpstreamDir() + "/" + server_dir_name_ +
                                       "/lock"};
  EXPECT_EQ(expected, Lock().CandidateLockFiles());
}

TEST_F(WineserverLockTest, MissingPrefixHasNoCandidates) {
  WineserverLock lock(PosixEnv(), dir_ / "none", "", fake_uid_);
  EXPECT_TRUE(lock.CandidateLockFiles().empty());
  EXPECT_FALSE(lock.ServerRunning());
}

TEST_F(WineserverLockTest, DetectsServerInEachLayout) {
  TestDir::Write(prefix_ + "/wineserver", "wine-test");
  mkdir((dir_ / "tmp").c_str(), 0700);
  const std::string layouts[] = {
      dir_ / "tmp/wine-test",
      UpstreamDir(),
  };
  for (const std::string& base : layouts) {
    std::string lock_file = MakeLockFile(base);
    EXPECT_FALSE(Lock().ServerRunning()) << base << ": lock file, no holder";
    LockHolder server(lock_file);
    ASSERT_TRUE(server.locked());
    EXPECT_TRUE(Lock().ServerRunning()) << base;
    std::vector<std::unique_ptr<regservice::prefix::Lock>> held;
    EXPECT_FALSE(Lock().HoldAgainstServers(&held)) << base;
    EXPECT_TRUE(held.empty());
    server.Stop();
    EXPECT_FALSE(Lock().ServerRunning()) << base << ": server gone";
    unlink(lock_file.c_str());
  }
}

TEST_F(WineserverLockTest, HoldingKeepsServersFromStarting) {
  TestDir::Write(prefix_ + "/wineserver", "wine-test");
  mkdir((dir_ / "tmp").c_str(), 0700);
  std::string debian = MakeLockFile(dir_ / "tmp/wine-test");
  std::string upstream = MakeLockFile(UpstreamDir());
  {
    std::vector<std::unique_ptr<regservice::prefix::Lock>> held;
    ASSERT_TRUE(Lock().HoldAgainstServers(&held));
    EXPECT_EQ(2u, held.size());
    EXPECT_FALSE(OtherProcessCanLock(debian));
    EXPECT_FALSE(OtherProcessCanLock(upstream));
  }
  EXPECT_TRUE(OtherProcessCanLock(debian));
  EXPECT_TRUE(OtherProcessCanLock(upstream));
}

}  // namespace
}  // namespace prefix
}  // namespace regservice
