#include "app/result_line.h"

#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

namespace app {

std::optional<std::string> serializeResultLine(const Record& record) {
  nlohmann::json object = nlohmann::json::object();
  for (const auto& [key, value] : record) object[key] = value;
  try {
    std::string line = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    line.push_back('\n');
    return line;
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

void writeAll(int fd, const std::string& bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace app
