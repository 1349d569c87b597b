// The HTTPS receiver of tests/receivers on loopback: a good certificate, a bad one it can switch
// to, and the modes it answers in.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "tests/support/subprocess.h"

namespace corvale::testing {

// Starts the receiver in `mode`, logging what it is sent to `log`; its port (0 when it did not
// start). The certificates are PEM files; the bad pair is served in mode "tls".
inline int StartHttpsReceiver(std::unique_ptr<Subprocess>& receiver, const std::string& cert,
                              const std::string& key, const std::string& badCert,
                              const std::string& badKey, const std::string& log,
                              const std::string& mode) {
  receiver = std::make_unique<Subprocess>(std::vector<std::string>{
      "/usr/bin/python3", CORVALE_RECEIVERS "/https_receiver.py", "--cert", cert, "--key", key,
      "--bad-cert", badCert, "--bad-key", badKey, "--log", log, "--mode", mode});
  const auto said = receiver->ReadLine(std::chrono::seconds(10));
  EXPECT_TRUE(said && said->starts_with("port ")) << said.value_or("nothing");
  return said ? std::stoi(said->substr(5)) : 0;
}

// Switches a running receiver to `mode` and waits until it says so.
inline void SetHttpsReceiverMode(Subprocess& receiver, const std::string& mode) {
  receiver.WriteLine(mode);
  EXPECT_EQ(receiver.ReadLine(std::chrono::seconds(10)).value_or(""), "mode " + mode);
}

}  // namespace corvale::testing
