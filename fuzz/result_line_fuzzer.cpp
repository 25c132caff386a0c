// Result-line serialization of records of arbitrary bytes (keys and values
// alternate, each read as libFuzzer's random-length string, in which a
// backslash followed by anything but a backslash ends the string). A record
// with text that is not UTF-8 gives no line; any other gives one compact JSON
// object and one line feed, which parses back to the record.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "app/result_line.h"
#include "fuzz_support.h"

namespace {

// No white space outside strings and no raw control byte anywhere: nothing
// but the final line feed can break the line.
bool isCompact(std::string_view json) {
  bool inString = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    char c = json[i];
    if (static_cast<unsigned char>(c) < 0x20) return false;
    if (inString) {
      if (c == '\\') ++i;
      if (c == '"') inString = false;
    } else {
      if (c == ' ') return false;
      if (c == '"') inString = true;
    }
  }
  return !inString;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  app::Record record;
  while (input.remaining_bytes() > 0) {
    std::string key = input.ConsumeRandomLengthString();
    record[key] = input.ConsumeRandomLengthString();
  }
  const bool utf8 = std::ranges::all_of(
      record, [](const auto& entry) { return fuzz::isUtf8(entry.first) && fuzz::isUtf8(entry.second); });

  auto line = app::serializeResultLine(record);
  FUZZ_CHECK(line.has_value() == utf8);
  if (!line) return 0;
  FUZZ_CHECK(!line->empty() && line->back() == '\n');
  const std::string_view object(line->data(), line->size() - 1);
  FUZZ_CHECK(isCompact(object));
  auto parsed = nlohmann::json::parse(object);
  FUZZ_CHECK(parsed.is_object() && parsed.get<app::Record>() == record);
  return 0;
}
