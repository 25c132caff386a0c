#pragma once

// Builds D-Bus messages of any type signature from a fuzzer's bytes, through
// sd-bus's own append API, and keeps what it wrote: a target then knows what
// a reader of the message must find.

#include <fuzzer/FuzzedDataProvider.h>
#include <systemd/sd-bus.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sd/sd_handle.h"

namespace fuzz {

// One value as written.
struct Value {
  std::string type;          // its complete D-Bus type: "s", "a{sv}", "(iv)", ...
  std::string text;          // s, o and g; the bytes of an "ay"
  std::uint64_t bits = 0;    // the other basic types (a double as its bit pattern)
  std::vector<Value> items;  // array elements, struct or dict-entry fields, a variant's content
};

class MessageBuilder {
 public:
  explicit MessageBuilder(FuzzedDataProvider& input) : input_(input) {}

  // `preferred` or, when the input says so, any other type.
  std::string typeOr(std::string_view preferred);

  // A value of `type`. Strings and variant contents lean towards what BlueZ
  // sends (its property and interface names, UUIDs, byte arrays) so that the
  // readers' paths are reached, but any type can turn up in a variant.
  Value value(const std::string& type);

  // A sealed message whose body is `body` followed by the string kEnd, ready
  // to be read from its start. Empty when sd-bus refuses to build it (a
  // string that is not UTF-8, for one): no peer could send that either.
  static sd::MessageHandle message(const Value& body);

  // Reads the value after the body: true when it is kEnd and the last one,
  // so a reader that returned left the message just past the body.
  static bool atEnd(sd_bus_message* m);

  static constexpr char kEnd[] = "end of body";

 private:
  std::string anyType(int depth);
  std::string contentType();
  std::string text();
  std::string objectPath();
  std::size_t count();

  FuzzedDataProvider& input_;
  int depth_ = 0;           // containers open while building
  std::size_t values_ = 0;  // built so far: bounds a message's size
};

// The content of the last entry `name` of an a{sv} dictionary whose variant
// holds a `type`; nullptr when there is none. That is what BlueZ's property
// readers keep: an entry of another type counts as absent.
const Value* lastProperty(const Value& dictionary, std::string_view name, std::string_view type);

}  // namespace fuzz
