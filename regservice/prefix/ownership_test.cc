// What a run may trust on a user's behalf: paths judged as named, link by
// link, on a small tree of directories and symlinks.
#include "regservice/prefix/ownership.h"

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "regservice/prefix/test_dir.h"
#include "regservice/prefix/test_support.h"

namespace regservice {
namespace prefix {
namespace {

// The owner a path is judged for: this process's own user, so that the
// tree the test makes is that user's.
uid_t Owner() { return geteuid(); }

class OwnershipTest : public ::testing::Test {
 protected:
  OwnershipTest() {
    // The test's own directory is private; /tmp above it is sticky.
    chmod(dir_.path().c_str(), 0755);
    mkdir((dir_ / "prefix").c_str(), 0755);
    mkdir((dir_ / "shared").c_str(), 01777);
    chmod((dir_ / "shared").c_str(), 01777);
  }

  // Whether `path` is held for Owner(), and why not.
  bool Held(const std::string& path, std::string* why) {
    PathWalk walk;
    Status status = WalkPath(PosixEnv(), path, &walk);
    if (!status.ok()) {
      *why = status.message();
      return false;
    }
    return PathHeldBy(walk, Owner(), HoldRule(), why);
  }

  TestDir dir_;
};

TEST_F(OwnershipTest, WalkResolvesLinksAsTheKernelDoes) {
  ASSERT_EQ(0, symlink("prefix", (dir_ / "relative").c_str()));
  ASSERT_EQ(0, symlink((dir_ / "prefix").c_str(), (dir_ / "absolute").c_str()));
  ASSERT_EQ(0, symlink("relative/../absolute", (dir_ / "chain").c_str()));
  ASSERT_EQ(0, symlink("loop", (dir_ / "loop").c_str()));
  std::string real_prefix;
  ASSERT_TRUE(PosixEnv()->RealPath(dir_ / "prefix", &real_prefix).ok());
  struct Case {
    const char* name;
    std::string path;
    Status::Code code;
    std::string resolved;
  } cases[] = {
      {"a directory", dir_ / "prefix", Status::kOk, real_prefix},
      {"a relative link", dir_ / "relative", Status::kOk, real_prefix},
      {"an absolute link", dir_ / "absolute/", Status::kOk, real_prefix},
      {"links and .. in a link", dir_ / "chain/.", Status::kOk, real_prefix},
      {"missing", dir_ / "none/x", Status::kNotFound, ""},
      {"through a file", dir_ / "prefix/../file/x", Status::kNotFound, ""},
      {"a loop", dir_ / "loop", Status::kReadError, ""},
      {"relative", "prefix", Status::kInvalidArgument, ""},
  };
  TestDir::Write(dir_ / "file", "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PathWalk walk;
    Status status = WalkPath(PosixEnv(), c.path, &walk);
    EXPECT_EQ(c.code, status.code()) << status.message();
    if (status.ok()) {
      EXPECT_EQ(c.resolved, walk.resolved);
    }
  }
}

TEST_F(OwnershipTest, EverythingOnTheWayCountsAsNamedAndAsFollowed) {
  const bool root = geteuid() == 0;
  struct Case {
    const char* name;
    // Makes the tree what it is; returns the path to judge.
    std::function<std::string()> arrange;
    bool held;
    const char* blamed;  // ends the reason, when not held
    bool needs_root;
  } cases[] = {
      {"the owner's directory", [&] { return dir_ / "prefix"; }, true, "",
       false},
      {"through a sticky folder others may write", [&] {
         mkdir((dir_ / "shared/prefix").c_str(), 0755);
         return dir_ / "shared/prefix";
       },
       true, "", false},
      {"the prefix itself sticky and open to all", [&] {
         mkdir((dir_ / "shared/open").c_str(), 01777);
         chmod((dir_ / "shared/open").c_str(), 01777);
         return dir_ / "shared/open";
       },
       false, "shared/open: others may write to it", false},
      {"a folder others may write on the way", [&] {
         mkdir((dir_ / "open").c_str(), 0777);
         chmod((dir_ / "open").c_str(), 0777);
         mkdir((dir_ / "open/prefix").c_str(), 0755);
         return dir_ / "open/prefix";
       },
       false, "/open: others may write to it", false},
      {"a group that may write the prefix", [&] {
         chmod((dir_ / "prefix").c_str(), 0775);
         return dir_ / "prefix";
       },
       false, "/prefix: others may write to it", false},
      // The link leads to the owner's own directory; the link itself is a
      // third user's, who may point it anywhere later.
      {"a third user's symlink in a sticky folder", [&] {
         const std::string link = dir_ / "shared/link";
         symlink((dir_ / "prefix").c_str(), link.c_str());
         lchown(link.c_str(), kOtherUid, kOtherGid);
         return link;
       },
       false, "shared/link: belongs to another user", true},
      {"a third user's directory the link leads through", [&] {
         mkdir((dir_ / "theirs").c_str(), 0755);
         chown((dir_ / "theirs").c_str(), kOtherUid, kOtherGid);
         symlink((dir_ / "prefix").c_str(), (dir_ / "theirs/prefix").c_str());
         symlink((dir_ / "theirs/prefix").c_str(), (dir_ / "via").c_str());
         return dir_ / "via";
       },
       false, "/theirs: belongs to another user", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && !root) continue;
    chmod((dir_ / "prefix").c_str(), 0755);
    const std::string path = c.arrange();
    std::string why;
    EXPECT_EQ(c.held, Held(path, &why)) << why;
    if (!c.held) {
      const std::string blamed = c.blamed;
      ASSERT_GE(why.size(), blamed.size());
      EXPECT_EQ(blamed, why.substr(why.size() - blamed.size())) << why;
    }
  }
}

TEST_F(OwnershipTest, FilesAreTakenByTheirCheckedRealPath) {
  const std::string bin = dir_ / "bin";
  mkdir(bin.c_str(), 0755);
  struct Case {
    const char* name;
    std::function<std::string()> arrange;
    bool trusted;
  } cases[] = {
      {"an executable of the owner's", [&] {
         TestDir::Write(bin + "/wine", "#!/bin/sh\n");
         chmod((bin + "/wine").c_str(), 0755);
         return bin + "/wine";
       },
       true},
      {"not executable", [&] {
         TestDir::Write(bin + "/plain", "");
         chmod((bin + "/plain").c_str(), 0644);
         return bin + "/plain";
       },
       false},
      {"writable by its group", [&] {
         TestDir::Write(bin + "/group", "");
         chmod((bin + "/group").c_str(), 0775);
         return bin + "/group";
       },
       false},
      {"in a sticky folder others may write", [&] {
         TestDir::Write(dir_ / "shared/wine", "");
         chmod((dir_ / "shared/wine").c_str(), 0755);
         return dir_ / "shared/wine";
       },
       false},
      {"a directory", [&] { return bin; }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = c.arrange();
    std::string resolved, why;
    EXPECT_EQ(c.trusted, FindTrustedFile(PosixEnv(), path, Owner(),
                                         FileUse::kExecute, &resolved, &why))
        << why;
  }
  // A link to it is started by the real path it was checked at.
  ASSERT_EQ(0, symlink("bin/wine", (dir_ / "wine-link").c_str()));
  std::string resolved, real;
  ASSERT_TRUE(FindTrustedFile(PosixEnv(), dir_ / "wine-link", Owner(),
                              FileUse::kExecute, &resolved, nullptr));
  // Read only, a file needs no execute bit.
  std::string plain;
  EXPECT_TRUE(FindTrustedFile(PosixEnv(), bin + "/plain", Owner(),
                              FileUse::kRead, &plain, nullptr));
  ASSERT_TRUE(PosixEnv()->RealPath(bin + "/wine", &real).ok());
  EXPECT_EQ(real, resolved);
}

}  // namespace
}  // namespace prefix
}  // namespace regservice
