// The small NUT client that `status` uses where it has no local channel, against a server on
// loopback that answers whatever the case says, as a broken or hostile one would.
#include "host/nut/nut_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "tests/support/free_port.h"

namespace {

using namespace std::chrono_literals;

// Accepts one client, reads its request line, sends `reply` and holds the line open until the
// client closes it.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::string reply) : reply_(std::move(reply)) {
    listener_ = corvale::testing::BoundLoopbackSocket(&port_);
    listen(listener_, 1);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string Request() const { return request_; }

 private:
  void Serve() {
    const int client = accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    char byte = 0;
    while (read(client, &byte, 1) == 1 && byte != '\n') request_ += byte;
    for (std::size_t sent = 0; sent < reply_.size();) {
      const auto wrote = write(client, reply_.data() + sent, reply_.size() - sent);
      if (wrote <= 0) break;
      sent += static_cast<std::size_t>(wrote);
    }
    while (read(client, &byte, 1) == 1) {
    }
    close(client);
  }

  std::string reply_;
  int listener_ = -1;
  int port_ = 0;
  std::string request_;
  std::thread thread_;
};

// What the server says is told as it said it: the asked UPS's variables only, its error as its
// answer, and only an absent server as one that did not answer.
TEST(NutClientTest, TheAskedUpsVariablesAndAnErrorAsTheServersAnswer) {
  std::string error;
  bool refused = true;
  ScriptedServer server(
      "BEGIN LIST VAR rack\nVAR rack ups.status \"OB LB\"\n"
      "VAR other ups.status \"OL\"\nEND LIST VAR rack\n");
  const auto variables =
      corvale::nut::QueryVariables(server.Address(), "rack", 5s, &error, &refused);
  ASSERT_TRUE(variables) << error;
  EXPECT_EQ(*variables, (corvale::nut::Variables{{"ups.status", "OB LB"}}));
  ScriptedServer unknown("ERR UNKNOWN-UPS\n");
  EXPECT_FALSE(corvale::nut::QueryVariables(unknown.Address(), "rack", 5s, &error, &refused));
  EXPECT_EQ(error, "the NUT server at " + unknown.Address() + " answered ERR UNKNOWN-UPS");
  EXPECT_TRUE(refused);
  const std::string nobody = "127.0.0.1:" + std::to_string(corvale::testing::FreePort());
  EXPECT_FALSE(corvale::nut::QueryVariables(nobody, "rack", 5s, &error, &refused));
  EXPECT_EQ(error.rfind("the NUT server at " + nobody + " did not answer: ", 0), 0u) << error;
  EXPECT_FALSE(refused);
}

TEST(NutClientTest, AServerThatSendsWithoutEndIsCutOffAndItsWordsAreBounded) {
  // 16 MiB without a line's end: not held, whatever the time allowed.
  ScriptedServer endless(std::string(16 << 20, 'x'));
  std::string error;
  EXPECT_FALSE(corvale::nut::QueryVariables(endless.Address(), "rack", 60s, &error));
  EXPECT_EQ(error, "the NUT server at " + endless.Address() + " sent a line of over 65536 bytes");
  // A refusal as long as a line may be: a few words of it are repeated.
  ScriptedServer wordy("ERR " + std::string(60000, 'y') + "\n");
  EXPECT_FALSE(corvale::nut::QueryVariables(wordy.Address(), "rack", 5s, &error));
  EXPECT_LT(error.size(), 300u);
  EXPECT_NE(error.find("answered ERR yyy"), std::string::npos) << error;
  // Short lines without end of list: the answer as a whole is bounded too, not only its time.
  std::string many;
  while (many.size() < (4u << 20)) many += "VAR rack v" + std::to_string(many.size()) + " \"1\"\n";
  ScriptedServer listing("BEGIN LIST VAR rack\n" + many);
  EXPECT_FALSE(corvale::nut::QueryVariables(listing.Address(), "rack", 30s, &error));
  EXPECT_EQ(error,
            "the NUT server at " + listing.Address() + " sent an answer of over 1048576 bytes");
}

}  // namespace
