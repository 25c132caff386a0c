#include "app/result_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using app::Record;
using app::serializeResultLine;

TEST(ResultLineTest, Serialization) {
  struct Case {
    const char* name;
    Record record;
    std::optional<std::string> bytes;
  };
  const Case cases[] = {
      {"error record", app::errorRecord("identity-timeout"), "{\"error\":\"identity-timeout\"}\n"},
      {"several keys on one line",
       {{"deviceId", "00000000-0000-0000-0000-AABBCCDDEEFF"}, {"unitNumber", "1234-567"}},
       "{\"deviceId\":\"00000000-0000-0000-0000-AABBCCDDEEFF\",\"unitNumber\":\"1234-567\"}\n"},
      {"non-ASCII stays UTF-8", {{"k", "caf\xC3\xA9"}}, "{\"k\":\"caf\xC3\xA9\"}\n"},
      {"line breaks are escaped", {{"k", "a\nb\"c"}}, "{\"k\":\"a\\nb\\\"c\"}\n"},
      {"backslash and control characters are escaped", {{"k", std::string("a\\b\x01\x7F", 5)}},
       "{\"k\":\"a\\\\b\\u0001\x7F\"}\n"},
      {"empty record", {}, "{}\n"},
      {"invalid UTF-8 writes nothing", {{"k", "\xC3"}}, std::nullopt},
      {"invalid UTF-8 in a key too", {{"\xFF", "v"}}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(serializeResultLine(c.record), c.bytes) << c.name;
}

TEST(ResultLineTest, WriteAllWritesEveryByteInOrder) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string line = *serializeResultLine(app::errorRecord("adapter-unavailable"));
  app::writeAll(fds[1], line);
  ::close(fds[1]);
  char buffer[128];
  ssize_t n = ::read(fds[0], buffer, sizeof buffer);
  ::close(fds[0]);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), line);
}

}  // namespace
