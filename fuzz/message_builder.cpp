#include "message_builder.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "fuzz_support.h"

namespace fuzz {
namespace {

constexpr int kMaxDepth = 16;  // an object tree's ServiceData bytes are 12 deep
constexpr std::size_t kMaxValues = 4096;
constexpr char kBasicTypes[] = "ybnqiuxtdsog";  // no 'h': a file descriptor needs a peer that takes one

constexpr std::string_view kWords[] = {
    "Address",
    "Connected",
    "ServicesResolved",
    "ServiceData",
    "Powered",
    "Discovering",
    "UUID",
    "org.bluez.Adapter1",
    "org.bluez.Device1",
    "org.bluez.GattService1",
    "org.bluez.GattCharacteristic1",
    "AA:BB:CC:DD:EE:FF",
    "1523",
    "FE59",
    "180a",
    "00002A25",
    "0000fe59-0000-1000-8000-00805f9b34fb",
    "00001523-0000-1000-8000-00805F9B34FB",
};
constexpr std::string_view kPaths[] = {
    "/",
    "/org/bluez/hci0",
    "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF",
    "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF/service000a",
    "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF/service000a/char000b",
};
// What BlueZ's properties hold.
constexpr std::string_view kContentTypes[] = {"s", "b", "ay", "a{sv}"};

// The length of the complete type at the start of `signature`.
std::size_t completeTypeLength(std::string_view signature) {
  if (signature[0] == 'a') return 1 + completeTypeLength(signature.substr(1));
  if (signature[0] != '(' && signature[0] != '{') return 1;
  std::size_t at = 1;
  while (signature[at] != ')' && signature[at] != '}') at += completeTypeLength(signature.substr(at));
  return at + 1;
}

std::vector<std::string> splitTypes(std::string_view signature) {
  std::vector<std::string> types;
  while (!signature.empty()) {
    std::size_t length = completeTypeLength(signature);
    types.emplace_back(signature.substr(0, length));
    signature.remove_prefix(length);
  }
  return types;
}

sd_bus* privateBus() {
  // Messages are only built and read here; the bus is what sd-bus wants to
  // create them, never connected to anyone. It never gets past
  // authentication, so it is closed without a flush: sd_bus_flush would wait
  // for the peer that never answers until sd-bus gives up on authentication,
  // 90 s after every run of a target had finished.
  static sd::SdHandle<sd_bus, sd_bus_close_unref> bus = [] {
    sd::SdHandle<sd_bus, sd_bus_close_unref> handle;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) < 0 || sd_bus_new(handle.put()) < 0 ||
        sd_bus_set_fd(handle.get(), fds[0], fds[0]) < 0 || sd_bus_start(handle.get()) < 0) {
      std::abort();
    }
    return handle;
  }();
  return bus.get();
}

int appendValue(sd_bus_message* m, const Value& v);

int appendContainer(sd_bus_message* m, char kind, const std::string& contents, const std::vector<Value>& items) {
  int r = sd_bus_message_open_container(m, kind, contents.c_str());
  for (const Value& item : items) {
    if (r >= 0) r = appendValue(m, item);
  }
  return r < 0 ? r : sd_bus_message_close_container(m);
}

int appendValue(sd_bus_message* m, const Value& v) {
  const char type = v.type[0];
  const std::string inner = v.type.size() > 2 ? v.type.substr(1, v.type.size() - 2) : "";
  switch (type) {
    case 'a':
      if (v.type == "ay") return sd_bus_message_append_array(m, 'y', v.text.data(), v.text.size());
      return appendContainer(m, 'a', v.type.substr(1), v.items);
    case 'v':
      return appendContainer(m, 'v', v.items[0].type, v.items);
    case '(':
      return appendContainer(m, 'r', inner, v.items);
    case '{':
      return appendContainer(m, 'e', inner, v.items);
    case 's':
      // No bus carries a string that is not UTF-8. libsystemd 252 and later
      // refuse it on append; 247 (Debian 11) appends it and then refuses to
      // read it back, which would pass for a reader's fault.
      if (!fuzz::isUtf8(v.text)) return -EINVAL;
      return sd_bus_message_append_basic(m, type, v.text.c_str());
    case 'o':
    case 'g':
      return sd_bus_message_append_basic(m, type, v.text.c_str());
    case 'b': {
      int value = v.bits != 0;
      return sd_bus_message_append_basic(m, type, &value);
    }
    case 'y': {
      auto value = static_cast<std::uint8_t>(v.bits);
      return sd_bus_message_append_basic(m, type, &value);
    }
    case 'n':
    case 'q': {
      auto value = static_cast<std::uint16_t>(v.bits);
      return sd_bus_message_append_basic(m, type, &value);
    }
    case 'i':
    case 'u': {
      auto value = static_cast<std::uint32_t>(v.bits);
      return sd_bus_message_append_basic(m, type, &value);
    }
    case 'd': {
      double value;
      std::memcpy(&value, &v.bits, sizeof value);
      return sd_bus_message_append_basic(m, type, &value);
    }
    default:  // x, t
      return sd_bus_message_append_basic(m, type, &v.bits);
  }
}

}  // namespace

std::string MessageBuilder::typeOr(std::string_view preferred) {
  return input_.ConsumeIntegralInRange(0, 7) == 7 ? anyType(0) : std::string(preferred);
}

std::string MessageBuilder::anyType(int depth) {
  constexpr int kBasic = sizeof kBasicTypes - 1;
  int choice = input_.ConsumeIntegralInRange(0, depth < 3 ? kBasic + 3 : kBasic - 1);
  if (choice < kBasic) return std::string(1, kBasicTypes[choice]);
  if (choice == kBasic) return "v";
  if (choice == kBasic + 1) return "a" + anyType(depth + 1);
  if (choice == kBasic + 2) {
    char key = kBasicTypes[input_.ConsumeIntegralInRange(0, kBasic - 1)];
    return std::string("a{") + key + anyType(depth + 1) + "}";
  }
  std::string fields = anyType(depth + 1);
  for (int n = input_.ConsumeIntegralInRange(0, 2); n > 0; --n) fields += anyType(depth + 1);
  return "(" + fields + ")";
}

std::string MessageBuilder::contentType() {
  if (depth_ >= kMaxDepth) return std::string(1, kBasicTypes[input_.ConsumeIntegralInRange<std::size_t>(0, 11)]);
  constexpr std::size_t kChoices = std::size(kContentTypes);
  std::size_t choice = input_.ConsumeIntegralInRange<std::size_t>(0, kChoices);
  return choice < kChoices ? std::string(kContentTypes[choice]) : anyType(0);
}

std::string MessageBuilder::text() {
  constexpr std::size_t kChoices = std::size(kWords);
  std::size_t choice = input_.ConsumeIntegralInRange<std::size_t>(0, kChoices);
  if (choice < kChoices) return std::string(kWords[choice]);
  // sd-bus strings end at the first NUL, so that is where the value ends.
  std::string raw = input_.ConsumeRandomLengthString(64);
  return raw.substr(0, raw.find('\0'));
}

std::string MessageBuilder::objectPath() {
  constexpr std::size_t kChoices = std::size(kPaths);
  std::size_t choice = input_.ConsumeIntegralInRange<std::size_t>(0, kChoices);
  if (choice < kChoices) return std::string(kPaths[choice]);
  static constexpr char kPathChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_/";
  std::string path = "/";
  for (unsigned char byte : input_.ConsumeRandomLengthString(32)) {
    char c = kPathChars[byte % (sizeof kPathChars - 1)];
    if (c != '/' || path.back() != '/') path.push_back(c);
  }
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::size_t MessageBuilder::count() {
  if (depth_ >= kMaxDepth || values_ >= kMaxValues) return 0;
  return input_.ConsumeIntegralInRange<std::size_t>(0, 8);
}

Value MessageBuilder::value(const std::string& type) {
  Value v{type, {}, 0, {}};
  ++values_;
  ++depth_;
  switch (type[0]) {
    case 'a':
      if (type == "ay") {
        v.text = input_.ConsumeBytesAsString(input_.ConsumeIntegral<std::uint8_t>());
      } else {
        for (std::size_t n = count(); n > 0; --n) v.items.push_back(value(type.substr(1)));
      }
      break;
    case 'v':
      v.items.push_back(value(contentType()));
      break;
    case '(':
    case '{':
      for (const std::string& field : splitTypes(std::string_view(type).substr(1, type.size() - 2))) {
        v.items.push_back(value(field));
      }
      break;
    case 's':
      v.text = text();
      break;
    case 'o':
      v.text = objectPath();
      break;
    case 'g':
      v.text = anyType(0);
      break;
    case 'b':
      v.bits = input_.ConsumeBool();
      break;
    case 'y':
      v.bits = input_.ConsumeIntegral<std::uint8_t>();
      break;
    case 'n':
    case 'q':
      v.bits = input_.ConsumeIntegral<std::uint16_t>();
      break;
    case 'i':
    case 'u':
      v.bits = input_.ConsumeIntegral<std::uint32_t>();
      break;
    default:  // x, t, d
      v.bits = input_.ConsumeIntegral<std::uint64_t>();
      break;
  }
  --depth_;
  return v;
}

sd::MessageHandle MessageBuilder::message(const Value& body) {
  sd::MessageHandle m;
  if (sd_bus_message_new_signal(privateBus(), m.put(), "/org/bluez/hci0", "org.freedesktop.DBus.Properties",
                                "PropertiesChanged") < 0 ||
      appendValue(m.get(), body) < 0 || sd_bus_message_append_basic(m.get(), 's', kEnd) < 0 ||
      sd_bus_message_seal(m.get(), 1, 0) < 0 || sd_bus_message_rewind(m.get(), true) < 0) {
    return {};
  }
  return m;
}

bool MessageBuilder::atEnd(sd_bus_message* m) {
  const char* text = nullptr;
  return sd_bus_message_read_basic(m, 's', &text) > 0 && std::string_view(text) == kEnd &&
         sd_bus_message_at_end(m, true) > 0;
}

const Value* lastProperty(const Value& dictionary, std::string_view name, std::string_view type) {
  const Value* found = nullptr;
  for (const Value& entry : dictionary.items) {
    const Value& content = entry.items[1].items[0];
    if (entry.items[0].text == name && content.type == type) found = &content;
  }
  return found;
}

}  // namespace fuzz
