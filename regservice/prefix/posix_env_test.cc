#include "regservice/prefix/env.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "regservice/prefix/fault_injection_env.h"
#include "regservice/prefix/test_dir.h"

namespace regservice {
namespace prefix {
namespace {

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 23);
  return bytes;
}

// Whole files and their starts, around the sizes where reading switches
// from the file's own size to the small buffer for what lies beyond it.
TEST(PosixEnvReadTest, ReadsWholeFilesAndTheirStarts) {
  TestDir dir;
  const std::string path = dir / "file";
  for (size_t size : {0, 1, 4095, 4096, 4097, 100000}) {
    const std::string bytes = Pattern(size);
    TestDir::Write(path, bytes);
    std::string read = "left over";
    ASSERT_TRUE(PosixEnv()->ReadFile(path, &read).ok()) << size;
    EXPECT_EQ(bytes, read) << size;
    for (size_t max : {size_t{0}, size_t{1}, size / 2, size, size + 1}) {
      ASSERT_TRUE(PosixEnv()->ReadFileStart(path, max, &read).ok()) << size;
      EXPECT_EQ(bytes.substr(0, max), read) << size << " " << max;
    }
  }
}

// /proc's files tell no size: they are read to their end or to the limit.
TEST(PosixEnvReadTest, ReadsFilesThatTellNoSize) {
  std::string status;
  ASSERT_TRUE(PosixEnv()->ReadFile("/proc/self/status", &status).ok());
  EXPECT_EQ(0u, status.find("Name:"));
  EXPECT_NE(std::string::npos, status.find("\nPid:"));
  // The first lines, the test program's own mappings, stay put.
  std::string maps;
  ASSERT_TRUE(PosixEnv()->ReadFile("/proc/self/maps", &maps).ok());
  ASSERT_GT(maps.size(), 200u);
  std::string start;
  ASSERT_TRUE(PosixEnv()->ReadFileStart("/proc/self/maps", 100, &start).ok());
  EXPECT_EQ(maps.substr(0, 100), start);
}

// The room a caller reserved past the file's bytes stays, so that edits
// made in place need no second copy of the file.
TEST(PosixEnvReadTest, KeepsTheCallersRoom) {
  TestDir dir;
  const std::string path = dir / "file";
  TestDir::Write(path, Pattern(300000));
  std::string read;
  read.reserve(300000 + 65536);
  const char* buffer = read.data();
  ASSERT_TRUE(PosixEnv()->ReadFile(path, &read).ok());
  EXPECT_EQ(300000u, read.size());
  EXPECT_GE(read.capacity(), 300000u + 65536u);
  EXPECT_EQ(buffer, read.data());
}

ino_t InodeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A rewrite in place whose step fails leaves the old bytes, or, once the
// new ones were synced, the new ones; never a mix, never an empty file.
// Growing and shrinking, so that the write-back must also cut the file back
// to its old length or fill what the cut removed.
TEST(RewriteFileTest, FailureAtAnyStepLeavesTheOldOrTheWholeNewFile) {
  typedef FaultInjectionEnv F;
  struct Case {
    F::Step step;
    bool completes;  // the new bytes were synced before the failure
  } cases[] = {
      {F::kRewrite, false}, {F::kReserve, false}, {F::kWrite, false},
      {F::kTruncate, false}, {F::kFileSync, false}, {F::kClose, true},
  };
  const std::string small = Pattern(5000), large = Pattern(9000) + "end";
  const std::pair<std::string, std::string> rewrites[] = {{small, large},
                                                          {large, small}};
  TestDir dir;
  const std::string path = dir / "file", other = dir / "other";
  for (const auto& rewrite : rewrites) {
    for (const Case& c : cases) {
      const std::string& old_bytes = rewrite.first;
      const std::string& new_bytes = rewrite.second;
      unlink(path.c_str());
      unlink(other.c_str());
      TestDir::Write(path, old_bytes);
      ASSERT_EQ(0, link(path.c_str(), other.c_str()));
      const ino_t inode = InodeOf(path);
      FaultInjectionEnv env;
      env.FailAt(c.step);
      int looks = 0;
      Status status = RewriteFile(&env, path, new_bytes, old_bytes, [&] {
        ++looks;
        return Status();
      });
      const std::string what =
          std::to_string(old_bytes.size()) + " to " +
          std::to_string(new_bytes.size()) + ", step " + std::to_string(c.step);
      EXPECT_EQ(Status::kWriteError, status.code()) << what;
      EXPECT_EQ(c.completes ? new_bytes : old_bytes, TestDir::Read(other))
          << what;
      EXPECT_EQ(inode, InodeOf(path)) << what;
      EXPECT_EQ(inode, InodeOf(other)) << what;
      EXPECT_EQ(c.step == F::kRewrite ? 0 : 1, looks) << what;
    }
  }
}

// The last look before the change refuses it: nothing in the file moves.
TEST(RewriteFileTest, RefusalBeforeTheChangeLeavesTheFile) {
  TestDir dir;
  const std::string path = dir / "file";
  TestDir::Write(path, Pattern(100));
  Status status = RewriteFile(PosixEnv(), path, Pattern(5000), Pattern(100),
                              [] { return Status(Status::kBusy, "server"); });
  EXPECT_EQ(Status::kBusy, status.code());
  EXPECT_EQ(Pattern(100), TestDir::Read(path));
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(100, st.st_size);
}

// Reserving room changes neither the bytes nor the size where the file
// system can reserve past the end; the room is then the file's.
TEST(RewriteFileTest, ReservingRoomChangesNothingVisible) {
  TestDir dir;
  const std::string path = dir / "file";
  TestDir::Write(path, Pattern(100));
  std::unique_ptr<RewritableFile> file;
  ASSERT_TRUE(PosixEnv()->OpenForRewrite(path, &file).ok());
  ASSERT_TRUE(file->Reserve(1 << 20).ok());
  ASSERT_TRUE(file->Close().ok());
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(Pattern(100), TestDir::Read(path));
  EXPECT_GE(st.st_blocks * 512, 1 << 20);
}

// Only regular files are opened for a rewrite; a FIFO without a reader is
// not waited on, one with a reader not written.
TEST(RewriteFileTest, OpensOnlyRegularFiles) {
  TestDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  std::unique_ptr<RewritableFile> file;
  EXPECT_EQ(ENXIO, PosixEnv()->OpenForRewrite(fifo, &file).error());
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(EINVAL, PosixEnv()->OpenForRewrite(fifo, &file).error());
  close(reader);
  EXPECT_EQ(nullptr, file);
  EXPECT_EQ(ENOENT, PosixEnv()->OpenForRewrite(dir / "none", &file).error());
}

// Makes fallocate fail with EOPNOTSUPP in this process, as on a file
// system that cannot reserve space.
bool RefuseFallocate() {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fallocate, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {
      static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Runs `work` in a child whose fallocate is refused; returns the errno of
// its failure (0 on success), or -1 when the child could not tell.
int WithoutFallocate(const std::function<Status()>& work) {
  pid_t child = fork();
  if (child == 0) {
    if (!RefuseFallocate()) _exit(255);
    Status status = work();
    _exit(status.ok() ? 0 : status.error() & 0x7F);
  }
  int result = 0;
  if (child < 0 || waitpid(child, &result, 0) != child || !WIFEXITED(result) ||
      WEXITSTATUS(result) == 255) {
    return -1;
  }
  return WEXITSTATUS(result);
}

Status Reserve(const std::string& path, uint64_t length) {
  std::unique_ptr<RewritableFile> file;
  Status status = PosixEnv()->OpenForRewrite(path, &file);
  if (status.ok()) status = file->Reserve(length);
  return status;
}

// Where no space can be reserved past the end, the file grows with zeros
// beyond its old end, its bytes before kept; on a full disk it is cut back
// to its old length. A rewrite then still ends as exactly the new bytes.
TEST(RewriteFileTest, WithoutFallocateZerosReserveTheRoom) {
  TestDir dir;
  const std::string path = dir / "file";
  const std::string small = Pattern(5000), large = Pattern(9000) + "end";
  TestDir::Write(path, small);
  ASSERT_EQ(0, WithoutFallocate([&] { return Reserve(path, 20000); }));
  EXPECT_EQ(small + std::string(15000, '\0'), TestDir::Read(path));
  ASSERT_EQ(0, WithoutFallocate([&] { return Reserve(path, 100); }));
  EXPECT_EQ(20000u, TestDir::Read(path).size());
  TestDir::Write(path, small);
  ASSERT_EQ(0, WithoutFallocate([&] {
              return RewriteFile(PosixEnv(), path, large, small,
                                 [] { return Status(); });
            }));
  EXPECT_EQ(large, TestDir::Read(path));
  ASSERT_EQ(0, WithoutFallocate([&] {
              return RewriteFile(PosixEnv(), path, small, large,
                                 [] { return Status(); });
            }));
  EXPECT_EQ(small, TestDir::Read(path));

  TestDir disk;
  if (mount("tmpfs", disk.path().c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  const std::string on_disk = disk / "file";
  TestDir::Write(on_disk, small);
  int fd = open((disk / "filler").c_str(), O_WRONLY | O_CREAT, 0600);
  const std::string chunk(4096, 'f');
  while (write(fd, chunk.data(), chunk.size()) > 0) {
  }
  close(fd);
  EXPECT_EQ(ENOSPC, WithoutFallocate([&] { return Reserve(on_disk, 40000); }));
  EXPECT_EQ(small, TestDir::Read(on_disk));
  umount2(disk.path().c_str(), MNT_DETACH);
}

// A failure's code says what happened, so that no caller reads the errno.
TEST(PosixEnvStatusTest, FailuresSayWhatHappened) {
  TestDir dir;
  const std::string file = dir / "file";
  TestDir::Write(file, "x");
  Env* env = PosixEnv();
  FileInfo info;
  std::string text;
  std::unique_ptr<Lock> lock;
  struct Case {
    const char* name;
    std::function<Status()> call;
    Status::Code code;
  } cases[] = {
      {"stat of a missing path",
       [&] { return env->GetFileInfo(dir / "none", &info); },
       Status::kNotFound},
      {"stat below a file",
       [&] { return env->GetLinkInfo(file + "/x", &info); },
       Status::kNotFound},
      {"read of a missing file",
       [&] { return env->ReadFile(dir / "none", &text); }, Status::kNotFound},
      {"lock of a missing directory",
       [&] { return env->LockDirectory(dir / "none", &lock); },
       Status::kNotFound},
      {"directory where a file is",
       [&] { return env->MakeDirectory(file, 0700); },
       Status::kAlreadyExists},
      {"file where a file is", [&] { return env->MakeFile(file, 0600); },
       Status::kAlreadyExists},
      {"read of a directory", [&] { return env->ReadFile(dir.path(), &text); },
       Status::kReadError},
  };
  for (const Case& c : cases) {
    Status status = c.call();
    EXPECT_EQ(c.code, status.code()) << c.name << ": " << status.message();
    EXPECT_NE(0, status.error()) << c.name;
  }
}

}  // namespace
}  // namespace prefix
}  // namespace regservice
