#include "regservice/bridge/server_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "regservice/bridge/listening_server.h"
#include "regservice/prefix/running_server.h"
#include "regservice/prefix/test_dir.h"

namespace regservice {
namespace bridge {
namespace {

using prefix::TestDir;

class ServerSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = dir_ / "prefix";
    mkdir(prefix_.c_str(), 0700);
    struct stat st;
    ASSERT_EQ(0, stat(prefix_.c_str(), &st));
    server_dir_ = dir_ / prefix::ServerDirectoryName(st.st_dev, st.st_ino);
    mkdir(server_dir_.c_str(), 0700);
    socket_ = server_dir_ + "/socket";
  }

  ServerSocket::Outcome Connect(pid_t server, uid_t owner = geteuid()) {
    return ServerSocket::Connect(prefix::PosixEnv(), "/proc", prefix_, server,
                                 owner, &connection_, &why_);
  }

  // The listener's process id as the connection's peer.
  pid_t PeerOf(const ServerSocket& connection) {
    struct ucred peer = {};
    socklen_t length = sizeof peer;
    getsockopt(connection.fd(), SOL_SOCKET, SO_PEERCRED, &peer, &length);
    return peer.pid;
  }

  TestDir dir_;
  std::string prefix_, server_dir_, socket_;
  std::unique_ptr<ServerSocket> connection_;
  std::string why_;
};

// The server's socket is found where the server itself is: in the server
// directory it works in, or, while it loads the registry from the prefix,
// the one it holds open.
TEST_F(ServerSocketTest, ConnectsToTheServerWhereverItWorks) {
  struct Case {
    const char* name;
    std::string cwd;
    std::vector<std::string> held;
  } cases[] = {
      {"working in its server directory", server_dir_, {prefix_}},
      {"loading, holding it open", prefix_, {prefix_, server_dir_}},
  };
  for (const Case& c : cases) {
    unlink(socket_.c_str());
    ListeningProcess server(c.cwd, c.held, socket_);
    ASSERT_TRUE(server.ready()) << c.name;
    ASSERT_EQ(ServerSocket::kConnected, Connect(server.pid()))
        << c.name << ": " << why_;
    EXPECT_EQ(server.pid(), connection_->server()) << c.name;
    EXPECT_EQ(server.pid(), PeerOf(*connection_)) << c.name;
    EXPECT_NE(0, fcntl(connection_->fd(), F_GETFD) & FD_CLOEXEC) << c.name;
  }
}

// Whatever is not the very server found, listening as its owner, is never
// connected to: a server going away (or a process that only sits where
// one would) answers nothing; a listener of its own on the socket is named.
TEST_F(ServerSocketTest, KeepsOnlyAConnectionToTheServerFound) {
  // Where a server would be, listening on nothing.
  ListeningProcess found(server_dir_, {prefix_}, "");
  ASSERT_TRUE(found.ready());
  EXPECT_EQ(ServerSocket::kNoAnswer, Connect(found.pid()));
  EXPECT_EQ("its server has no socket", why_);

  // A socket file no one listens on: a server that has closed it.
  const int closed = BindSocket(socket_, false);
  ASSERT_GE(closed, 0);
  close(closed);
  EXPECT_EQ(ServerSocket::kNoAnswer, Connect(found.pid()));
  EXPECT_EQ("its server does not answer", why_);
  unlink(socket_.c_str());

  // Another process listening on the socket of the server found.
  ListeningProcess other(dir_.path(), {}, socket_);
  ASSERT_TRUE(other.ready());
  EXPECT_EQ(ServerSocket::kNotTheServer, Connect(found.pid()));
  EXPECT_EQ("its socket is served by process " + std::to_string(other.pid()) +
                " of user id " + std::to_string(geteuid()) +
                ", not by the server found, process " +
                std::to_string(found.pid()) + " of user id " +
                std::to_string(geteuid()),
            why_);
  EXPECT_EQ(nullptr, connection_);

  // A socket of another user than the prefix's owner.
  EXPECT_EQ(ServerSocket::kNotTheServer, Connect(found.pid(), geteuid() + 1));
  EXPECT_NE(std::string::npos, why_.find("not a socket of user id"));

  // A directory of another prefix's server, with a listener of its own.
  const std::string elsewhere = dir_ / "server-1-2";
  mkdir(elsewhere.c_str(), 0700);
  ListeningProcess stranger(elsewhere, {prefix_}, elsewhere + "/socket");
  ASSERT_TRUE(stranger.ready());
  EXPECT_EQ(ServerSocket::kNoAnswer, Connect(stranger.pid()));
  EXPECT_EQ(nullptr, connection_);
}

// A listener whose queue is full (it never accepts) is not waited for
// without bound.
TEST_F(ServerSocketTest, FullQueueIsNoAnswer) {
  ListeningProcess server(server_dir_, {prefix_}, socket_, 0);
  ASSERT_TRUE(server.ready());
  ASSERT_EQ(ServerSocket::kConnected, Connect(server.pid())) << why_;
  std::unique_ptr<ServerSocket> first = std::move(connection_);
  EXPECT_EQ(ServerSocket::kNoAnswer, Connect(server.pid()));
  EXPECT_EQ("its server does not answer", why_);
}

// A server known only by a number that is no process's answers nothing.
TEST_F(ServerSocketTest, NoProcessNoConnection) {
  EXPECT_EQ(ServerSocket::kNoAnswer, Connect(0));
  EXPECT_EQ(nullptr, connection_);
}

TEST(WaitForProcessEndTest, TellsAnEndedProcessFromARunningOne) {
  prefix::WaitingProcess running([] { return true; });
  ASSERT_TRUE(running.ready());
  const pid_t pid = running.pid();
  EXPECT_FALSE(WaitForProcessEnd(pid, 50));
  running.Stop();
  EXPECT_TRUE(WaitForProcessEnd(pid, 50));
}

}  // namespace
}  // namespace bridge
}  // namespace regservice
