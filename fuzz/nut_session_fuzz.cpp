// A NUT session against any bytes a client may send: every reply is whole lines of a known kind,
// no reply grows without bound, and a session's login is gone when it ends.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/nut/nut_session.h"
#include "tests/support/fake_nut_backend.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  corvale::testing::FakeNutBackend backend;
  backend.tls = size > 0 && data[0] & 1;
  {
    corvale::nut::Session session(backend, "192.0.2.1");
    std::string line;
    const auto answer = [&](const std::string& request) {
      std::string later;  // a pending reply arrives through this
      std::string replies =
          session.Handle(request, [&](std::string reply) { later += reply; }).reply;
      replies += later;
      if (replies.size() > 4096 || (!replies.empty() && replies.back() != '\n')) std::abort();
      for (std::size_t start = 0; start < replies.size();) {
        const std::size_t end = replies.find('\n', start);
        const std::string reply = replies.substr(start, end - start);
        static const char* kKinds[] = {
            "OK",       "ERR ",     "VAR ",       "RW ",         "TYPE ",        "DESC ",
            "CMDDESC ", "UPSDESC ", "NUMLOGINS ", "BEGIN LIST ", "END LIST ",    "UPS ",
            "CMD ",     "RANGE ",   "CLIENT ",    "1.3",         "corvale-ups ", "Commands: "};
        bool known = false;
        for (const char* kind : kKinds) known = known || reply.rfind(kind, 0) == 0;
        if (!known) std::abort();
        start = end + 1;
      }
    };
    for (std::size_t i = 0; i < size; ++i) {
      if (data[i] != '\n') {
        if (line.size() + 1 < corvale::nut::kMaxLineLength) line += static_cast<char>(data[i]);
        continue;
      }
      answer(line);
      line.clear();
    }
  }
  if (backend.NumLogins() != 0) std::abort();
  return 0;
}
