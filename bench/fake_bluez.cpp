// A stand-in for bluetoothd that the benchmarks put on a private bus.
//
// It owns org.bluez on the bus named by DBUS_SYSTEM_BUS_ADDRESS, exports an
// ObjectManager at "/" with one powered adapter /org/bluez/hci0 and answers
// every call at once.
//
//   --mode scan      M devices; once StartDiscovery arrives (and, with
//                    --wait-go, once "go" is read on stdin) it sends N signals
//                    carrying ServiceData, round robin over the devices, as fast
//                    as the bus takes them or paced at --rate per second.
//   --mode identity  one bonded device with a Device Information service
//                    (0x180A) holding a Serial Number String (0x2A25); Connect,
//                    ReadValue and Disconnect answer at once.
//
// Progress goes to stdout as single lines that the drivers parse:
//   READY <unique-name>
//   DISCOVERING                                   first StartDiscovery seen
//   DONE sent= expected= devices= elapsed_us= max_lag_us=
//   STATS <Member>=<count> ...                    on "quit" or end of stdin
//
// It is written to stay cheap per signal, so that it is never the slowest
// process of a measurement.

#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace {

constexpr const char* kAdapterPath = "/org/bluez/hci0";
constexpr const char* kPropertiesIface = "org.freedesktop.DBus.Properties";
constexpr const char* kObjectManagerIface = "org.freedesktop.DBus.ObjectManager";
constexpr const char* kUnitService = "00001523-0000-1000-8000-00805f9b34fb";
constexpr const char* kDfuService = "0000fe59-0000-1000-8000-00805f9b34fb";
constexpr const char* kDeviceInfoService = "0000180a-0000-1000-8000-00805f9b34fb";
constexpr const char* kSerialNumberChar = "00002a25-0000-1000-8000-00805f9b34fb";
constexpr const char* kGenericAttributeService = "00001801-0000-1000-8000-00805f9b34fb";
constexpr const char* kServiceChangedChar = "00002a05-0000-1000-8000-00805f9b34fb";
// Device addresses are C0:FF:EE:xx:xx:xx with the device index in the low bytes.
constexpr std::string_view kDevicePrefix = "/org/bluez/hci0/dev_C0_FF_EE_";

[[noreturn]] void die(const char* what, int r) {
    std::fprintf(stderr, "fake_bluez: %s: %s\n", what, std::strerror(r < 0 ? -r : r));
    std::exit(1);
}

int check(int r, const char* what) {
    if (r < 0) die(what, r);
    return r;
}

template <typename... Args>
void say(const char* fmt, Args... args) {
    std::printf(fmt, args...);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

uint64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

// ---------------------------------------------------------------------------
// A small property model: the D-Bus types BlueZ uses for these objects.

struct ObjectPath {
    std::string path;
};
using Value = std::variant<bool, std::string, ObjectPath, std::vector<std::string>,
                           std::vector<uint8_t>>;
using Properties = std::vector<std::pair<std::string, Value>>;
using Interfaces = std::vector<std::pair<std::string, Properties>>;

void appendVariant(sd_bus_message* m, const Value& v) {
    if (auto* b = std::get_if<bool>(&v)) {
        check(sd_bus_message_append(m, "v", "b", int(*b)), "append b");
    } else if (auto* s = std::get_if<std::string>(&v)) {
        check(sd_bus_message_append(m, "v", "s", s->c_str()), "append s");
    } else if (auto* o = std::get_if<ObjectPath>(&v)) {
        check(sd_bus_message_append(m, "v", "o", o->path.c_str()), "append o");
    } else if (auto* list = std::get_if<std::vector<std::string>>(&v)) {
        check(sd_bus_message_open_container(m, 'v', "as"), "open v");
        check(sd_bus_message_open_container(m, 'a', "s"), "open as");
        for (const auto& item : *list) check(sd_bus_message_append(m, "s", item.c_str()), "append s");
        check(sd_bus_message_close_container(m), "close as");
        check(sd_bus_message_close_container(m), "close v");
    } else if (auto* bytes = std::get_if<std::vector<uint8_t>>(&v)) {
        check(sd_bus_message_open_container(m, 'v', "ay"), "open v");
        check(sd_bus_message_append_array(m, 'y', bytes->data(), bytes->size()), "append ay");
        check(sd_bus_message_close_container(m), "close v");
    }
}

void appendProperties(sd_bus_message* m, const Properties& props) {
    check(sd_bus_message_open_container(m, 'a', "{sv}"), "open a{sv}");
    for (const auto& [name, value] : props) {
        check(sd_bus_message_open_container(m, 'e', "sv"), "open e");
        check(sd_bus_message_append(m, "s", name.c_str()), "append name");
        appendVariant(m, value);
        check(sd_bus_message_close_container(m), "close e");
    }
    check(sd_bus_message_close_container(m), "close a{sv}");
}

void appendInterfaces(sd_bus_message* m, const Interfaces& ifaces) {
    check(sd_bus_message_open_container(m, 'a', "{sa{sv}}"), "open a{sa{sv}}");
    for (const auto& [name, props] : ifaces) {
        check(sd_bus_message_open_container(m, 'e', "sa{sv}"), "open e");
        check(sd_bus_message_append(m, "s", name.c_str()), "append iface");
        appendProperties(m, props);
        check(sd_bus_message_close_container(m), "close e");
    }
    check(sd_bus_message_close_container(m), "close a{sa{sv}}");
}

// BlueZ lists the standard interfaces of its objects too; clients have to skip them.
Interfaces withStandardInterfaces(Interfaces ifaces) {
    ifaces.emplace_back("org.freedesktop.DBus.Introspectable", Properties{});
    ifaces.emplace_back(kPropertiesIface, Properties{});
    return ifaces;
}

// ---------------------------------------------------------------------------

struct Options {
    std::string mode = "scan";
    uint64_t count = 100000;     // N signals
    uint32_t devices = 1000;     // M devices
    double newShare = 0.05;      // share of repeat reports that carry a new unit number
    double rate = 0;             // signals per second; 0 = as fast as the bus takes them
    bool waitGo = false;         // wait for "go" on stdin before sending
    bool dfu = false;            // payload under 0xFE59 instead of 0x1523
    bool discovered = false;     // devices appear by InterfacesAdded, not in GetManagedObjects
    std::string address = "C0:FF:EE:00:00:01";  // identity device
    std::string serial = "0123456789abcdef";    // its 0x2A25 value
    bool gattOnConnect = false;  // identity: GATT objects appear only once connected
    bool emitConnected = false;  // identity: also signal Connected=true after Connect
};

class FakeBluez {
public:
    explicit FakeBluez(Options opt) : opt_(std::move(opt)) {}
    void run();

private:
    static int onMessage(sd_bus_message* m, void* userdata, sd_bus_error* err);
    int handleCall(sd_bus_message* m);
    int handleProperties(sd_bus_message* m, const std::string& path, std::string_view member);
    int handleAdapter(sd_bus_message* m, std::string_view member);
    int handleDevice(sd_bus_message* m, std::string_view member);
    int handleCharacteristic(sd_bus_message* m, const std::string& path, std::string_view member);
    int replyManagedObjects(sd_bus_message* m);

    void buildObjects();
    std::vector<std::pair<std::string, Interfaces>> gattObjects() const;
    std::optional<Interfaces> lookup(const std::string& path) const;
    Value* property(const std::string& path, std::string_view iface, std::string_view name);
    void emitPropertiesChanged(const std::string& path, const char* iface, const Properties& changed);
    void emitInterfacesAdded(const std::string& path, const Interfaces& ifaces);
    void emitInterfacesRemoved(const std::string& path, const Interfaces& ifaces);

    static std::string deviceAddress(uint32_t i);
    static std::string addressToPath(const std::string& address);
    std::optional<uint32_t> scanDeviceIndex(std::string_view path) const;
    Interfaces scanDeviceInterfaces(uint32_t i) const;
    void fillPayload(uint32_t device, uint32_t version, uint8_t out[8]) const;
    void sendOne();
    void send(sd_bus_message* m);
    void startSending();
    void readStdin();

    Options opt_;
    sd_bus* bus_ = nullptr;
    std::map<std::string, Interfaces> objects_;
    std::vector<std::string> devicePaths_;
    std::vector<uint32_t> versions_;  // per scan device; 0 = has not advertised yet
    std::string identityPath_;

    enum class Phase { WaitingDiscovery, WaitingGo, Sending, Done };
    Phase phase_ = Phase::WaitingDiscovery;
    uint64_t sent_ = 0;
    uint64_t expected_ = 0;
    uint64_t devicesSeen_ = 0;
    double shareAcc_ = 0;
    uint64_t t0_ = 0;
    uint64_t maxLagNs_ = 0;
    bool quit_ = false;
    bool stdinOpen_ = true;
    std::string stdinBuf_;
    std::map<std::string, uint64_t> calls_;
};

std::string FakeBluez::deviceAddress(uint32_t i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "C0:FF:EE:%02X:%02X:%02X", (i >> 16) & 0xffu, (i >> 8) & 0xffu,
                  i & 0xffu);
    return buf;
}

std::string FakeBluez::addressToPath(const std::string& address) {
    std::string path = std::string(kAdapterPath) + "/dev_" + address;
    std::replace(path.begin(), path.end(), ':', '_');
    return path;
}

std::optional<uint32_t> FakeBluez::scanDeviceIndex(std::string_view path) const {
    if (opt_.mode != "scan" || !path.starts_with(kDevicePrefix)) return std::nullopt;
    std::string_view rest = path.substr(kDevicePrefix.size());
    if (rest.size() != 8 || rest[2] != '_' || rest[5] != '_') return std::nullopt;
    std::string hex{rest.substr(0, 2)};
    hex += rest.substr(3, 2);
    hex += rest.substr(6, 2);
    char* end = nullptr;
    unsigned long i = std::strtoul(hex.c_str(), &end, 16);
    if (*end != '\0' || i >= opt_.devices) return std::nullopt;
    if (opt_.discovered && versions_[i] == 0) return std::nullopt;
    return uint32_t(i);
}

void FakeBluez::fillPayload(uint32_t device, uint32_t version, uint8_t out[8]) const {
    if (opt_.dfu) {
        for (int k = 0; k < 4; ++k) {
            out[k] = uint8_t(device >> (8 * k));
            out[4 + k] = uint8_t(version >> (8 * k));
        }
        return;
    }
    // Consecutive versions of one device give distinct unit numbers.
    uint32_t v = uint32_t((uint64_t(device) * 7919u + version) % 10000000u);
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%03u", v / 1000, v % 1000);
    std::memcpy(out, text, 8);
}

Interfaces FakeBluez::scanDeviceInterfaces(uint32_t i) const {
    return {{"org.bluez.Device1",
             {{"Address", deviceAddress(i)}, {"Adapter", ObjectPath{kAdapterPath}}}}};
}

std::vector<std::pair<std::string, Interfaces>> FakeBluez::gattObjects() const {
    const std::string gatt = identityPath_ + "/service0001";
    const std::string info = identityPath_ + "/service000a";
    auto service = [&](const char* uuid) {
        return withStandardInterfaces({{"org.bluez.GattService1",
                                        {{"UUID", std::string(uuid)},
                                         {"Device", ObjectPath{identityPath_}},
                                         {"Primary", true},
                                         {"Includes", std::vector<std::string>{}}}}});
    };
    auto characteristic = [&](const char* uuid, const std::string& svc, const char* flag) {
        return withStandardInterfaces({{"org.bluez.GattCharacteristic1",
                                        {{"UUID", std::string(uuid)},
                                         {"Service", ObjectPath{svc}},
                                         {"Value", std::vector<uint8_t>{}},
                                         {"Flags", std::vector<std::string>{flag}}}}});
    };
    return {
        {gatt, service(kGenericAttributeService)},
        {gatt + "/char0002", characteristic(kServiceChangedChar, gatt, "indicate")},
        {info, service(kDeviceInfoService)},
        {info + "/char000b", characteristic(kSerialNumberChar, info, "read")},
    };
}

void FakeBluez::buildObjects() {
    objects_["/org/bluez"] = {{"org.bluez.AgentManager1", {}}, {"org.bluez.ProfileManager1", {}}};
    objects_[kAdapterPath] = withStandardInterfaces({
        {"org.bluez.Adapter1",
         {{"Address", std::string("00:1A:7D:DA:71:13")},
          {"AddressType", std::string("public")},
          {"Name", std::string("bench")},
          {"Alias", std::string("bench")},
          {"Powered", true},
          {"Discoverable", false},
          {"Pairable", true},
          {"Discovering", false},
          {"UUIDs", std::vector<std::string>{}}}},
        {"org.bluez.GattManager1", {}},
        {"org.bluez.LEAdvertisingManager1", {}},
    });

    if (opt_.mode == "identity") {
        identityPath_ = addressToPath(opt_.address);
        objects_[identityPath_] = withStandardInterfaces(
            {{"org.bluez.Device1",
              {{"Address", opt_.address},
               {"AddressType", std::string("public")},
               {"Name", std::string("bench-peripheral")},
               {"Alias", std::string("bench-peripheral")},
               {"Paired", true},
               {"Bonded", true},
               {"Trusted", false},
               {"Blocked", false},
               {"LegacyPairing", false},
               {"Connected", false},
               {"UUIDs", std::vector<std::string>{kGenericAttributeService, kDeviceInfoService}},
               {"Adapter", ObjectPath{kAdapterPath}},
               {"ServicesResolved", false}}}});
        // A bonded device: BlueZ keeps its GATT database cached while disconnected.
        if (!opt_.gattOnConnect)
            for (auto& [path, ifaces] : gattObjects()) objects_[path] = std::move(ifaces);
        return;
    }

    devicePaths_.reserve(opt_.devices);
    for (uint32_t i = 0; i < opt_.devices; ++i) devicePaths_.push_back(addressToPath(deviceAddress(i)));
    versions_.assign(opt_.devices, 0);
}

std::optional<Interfaces> FakeBluez::lookup(const std::string& path) const {
    if (auto it = objects_.find(path); it != objects_.end()) return it->second;
    if (auto i = scanDeviceIndex(path)) return scanDeviceInterfaces(*i);
    return std::nullopt;
}

Value* FakeBluez::property(const std::string& path, std::string_view iface, std::string_view name) {
    auto it = objects_.find(path);
    if (it == objects_.end()) return nullptr;
    for (auto& [ifName, props] : it->second) {
        if (ifName != iface) continue;
        for (auto& [propName, value] : props)
            if (propName == name) return &value;
    }
    return nullptr;
}

void FakeBluez::send(sd_bus_message* m) {
    check(sd_bus_send(bus_, m, nullptr), "send");
    sd_bus_message_unref(m);
    // Back-pressure: never let sd-bus queue more than a handful of messages.
    uint64_t queued = 0;
    if (sd_bus_get_n_queued_write(bus_, &queued) >= 0 && queued > 32) check(sd_bus_flush(bus_), "flush");
}

void FakeBluez::emitPropertiesChanged(const std::string& path, const char* iface,
                                      const Properties& changed) {
    sd_bus_message* m = nullptr;
    check(sd_bus_message_new_signal(bus_, &m, path.c_str(), kPropertiesIface, "PropertiesChanged"),
          "new signal");
    check(sd_bus_message_append(m, "s", iface), "append iface");
    appendProperties(m, changed);
    check(sd_bus_message_append(m, "as", 0), "append invalidated");
    send(m);
}

void FakeBluez::emitInterfacesAdded(const std::string& path, const Interfaces& ifaces) {
    sd_bus_message* m = nullptr;
    check(sd_bus_message_new_signal(bus_, &m, "/", kObjectManagerIface, "InterfacesAdded"), "new signal");
    check(sd_bus_message_append(m, "o", path.c_str()), "append path");
    appendInterfaces(m, ifaces);
    send(m);
}

void FakeBluez::emitInterfacesRemoved(const std::string& path, const Interfaces& ifaces) {
    sd_bus_message* m = nullptr;
    check(sd_bus_message_new_signal(bus_, &m, "/", kObjectManagerIface, "InterfacesRemoved"),
          "new signal");
    check(sd_bus_message_append(m, "o", path.c_str()), "append path");
    check(sd_bus_message_open_container(m, 'a', "s"), "open as");
    for (const auto& [name, props] : ifaces) check(sd_bus_message_append(m, "s", name.c_str()), "append s");
    check(sd_bus_message_close_container(m), "close as");
    send(m);
}

// One advertisement of device (sent_ mod M). The first one of a device is its
// first sight; later ones carry a new unit number for a share of newShare of
// them and repeat the last one otherwise.
void FakeBluez::sendOne() {
    const uint32_t d = uint32_t(sent_ % opt_.devices);
    uint32_t& version = versions_[d];
    const bool first = version == 0;
    if (first) {
        version = 1;
        ++expected_;
        ++devicesSeen_;
    } else {
        shareAcc_ += opt_.newShare;
        if (shareAcc_ >= 1.0) {
            shareAcc_ -= 1.0;
            ++version;
            ++expected_;
        }
    }
    uint8_t payload[8];
    fillPayload(d, version, payload);
    const char* uuid = opt_.dfu ? kDfuService : kUnitService;

    sd_bus_message* m = nullptr;
    const char* path = devicePaths_[d].c_str();
    if (first && opt_.discovered) {
        check(sd_bus_message_new_signal(bus_, &m, "/", kObjectManagerIface, "InterfacesAdded"),
              "new signal");
        check(sd_bus_message_append(m, "o", path), "append path");
        check(sd_bus_message_open_container(m, 'a', "{sa{sv}}"), "open");
        check(sd_bus_message_open_container(m, 'e', "sa{sv}"), "open");
        check(sd_bus_message_append(m, "s", "org.bluez.Device1"), "append");
        check(sd_bus_message_open_container(m, 'a', "{sv}"), "open");
        const std::string address = deviceAddress(d);
        check(sd_bus_message_append(m, "{sv}{sv}{sv}", "Address", "s", address.c_str(), "AddressType",
                                    "s", "random", "Adapter", "o", kAdapterPath),
              "append");
    } else {
        check(sd_bus_message_new_signal(bus_, &m, path, kPropertiesIface, "PropertiesChanged"),
              "new signal");
        check(sd_bus_message_append(m, "s", "org.bluez.Device1"), "append");
        check(sd_bus_message_open_container(m, 'a', "{sv}"), "open");
    }
    check(sd_bus_message_open_container(m, 'e', "sv"), "open");
    check(sd_bus_message_append(m, "s", "ServiceData"), "append");
    check(sd_bus_message_open_container(m, 'v', "a{sv}"), "open");
    check(sd_bus_message_open_container(m, 'a', "{sv}"), "open");
    check(sd_bus_message_open_container(m, 'e', "sv"), "open");
    check(sd_bus_message_append(m, "s", uuid), "append");
    check(sd_bus_message_open_container(m, 'v', "ay"), "open");
    check(sd_bus_message_append_array(m, 'y', payload, sizeof payload), "append");
    // Close ay's variant, the inner entry, array and variant, the outer entry and array.
    for (int k = 0; k < 6; ++k) check(sd_bus_message_close_container(m), "close");
    if (first && opt_.discovered) {
        for (int k = 0; k < 2; ++k) check(sd_bus_message_close_container(m), "close");  // e, a
    } else {
        check(sd_bus_message_append(m, "as", 0), "append");
    }
    ++sent_;
    send(m);
}

void FakeBluez::startSending() {
    phase_ = Phase::Sending;
    t0_ = nowNs();
}

int FakeBluez::replyManagedObjects(sd_bus_message* call) {
    sd_bus_message* r = nullptr;
    check(sd_bus_message_new_method_return(call, &r), "new return");
    check(sd_bus_message_open_container(r, 'a', "{oa{sa{sv}}}"), "open");
    for (const auto& [path, ifaces] : objects_) {
        check(sd_bus_message_open_container(r, 'e', "oa{sa{sv}}"), "open");
        check(sd_bus_message_append(r, "o", path.c_str()), "append");
        appendInterfaces(r, ifaces);
        check(sd_bus_message_close_container(r), "close");
    }
    if (opt_.mode == "scan") {
        // Cached devices are written straight into the reply: with 100,000 of
        // them a property model per device would cost more than the reply.
        for (uint32_t i = 0; i < opt_.devices; ++i) {
            if (opt_.discovered && versions_[i] == 0) continue;
            const std::string address = deviceAddress(i);
            check(sd_bus_message_append(r, "{oa{sa{sv}}}", devicePaths_[i].c_str(), 1,
                                        "org.bluez.Device1", 2, "Address", "s", address.c_str(),
                                        "Adapter", "o", kAdapterPath),
                  "append device");
        }
    }
    check(sd_bus_message_close_container(r), "close");
    int ret = sd_bus_send(bus_, r, nullptr);
    sd_bus_message_unref(r);
    return ret < 0 ? ret : 1;
}

int FakeBluez::handleProperties(sd_bus_message* m, const std::string& path, std::string_view member) {
    std::optional<Interfaces> ifaces = lookup(path);
    if (!ifaces) return 0;
    const char* iface = nullptr;
    if (member == "GetAll") {
        check(sd_bus_message_read(m, "s", &iface), "read");
        for (const auto& [name, props] : *ifaces) {
            if (name != iface) continue;
            sd_bus_message* r = nullptr;
            check(sd_bus_message_new_method_return(m, &r), "new return");
            appendProperties(r, props);
            int ret = sd_bus_send(bus_, r, nullptr);
            sd_bus_message_unref(r);
            return ret < 0 ? ret : 1;
        }
        return sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.InvalidArgs",
                                          "No such interface '%s'", iface);
    }
    if (member == "Get") {
        const char* name = nullptr;
        check(sd_bus_message_read(m, "ss", &iface, &name), "read");
        for (const auto& [ifName, props] : *ifaces) {
            if (ifName != iface) continue;
            for (const auto& [propName, value] : props) {
                if (propName != name) continue;
                sd_bus_message* r = nullptr;
                check(sd_bus_message_new_method_return(m, &r), "new return");
                appendVariant(r, value);
                int ret = sd_bus_send(bus_, r, nullptr);
                sd_bus_message_unref(r);
                return ret < 0 ? ret : 1;
            }
        }
        return sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.InvalidArgs",
                                          "No such property '%s'", name);
    }
    if (member == "Set")
        return sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.PropertyReadOnly",
                                          "Property is read-only here");
    return 0;
}

int FakeBluez::handleAdapter(sd_bus_message* m, std::string_view member) {
    if (member == "SetDiscoveryFilter" || member == "RemoveDevice") return sd_bus_reply_method_return(m, "");
    if (member == "StartDiscovery") {
        int r = sd_bus_reply_method_return(m, "");
        if (r < 0) return r;
        if (Value* v = property(kAdapterPath, "org.bluez.Adapter1", "Discovering"); v && !std::get<bool>(*v)) {
            *v = true;
            emitPropertiesChanged(kAdapterPath, "org.bluez.Adapter1", {{"Discovering", true}});
        }
        if (phase_ == Phase::WaitingDiscovery && opt_.mode == "scan") {
            say("DISCOVERING");
            if (opt_.waitGo)
                phase_ = Phase::WaitingGo;
            else
                startSending();
        }
        return 1;
    }
    if (member == "StopDiscovery") {
        int r = sd_bus_reply_method_return(m, "");
        if (r < 0) return r;
        if (Value* v = property(kAdapterPath, "org.bluez.Adapter1", "Discovering"); v && std::get<bool>(*v)) {
            *v = false;
            emitPropertiesChanged(kAdapterPath, "org.bluez.Adapter1", {{"Discovering", false}});
        }
        return 1;
    }
    return 0;
}

int FakeBluez::handleDevice(sd_bus_message* m, std::string_view member) {
    Value* connected = property(identityPath_, "org.bluez.Device1", "Connected");
    Value* resolved = property(identityPath_, "org.bluez.Device1", "ServicesResolved");
    if (member == "Connect") {
        int r = sd_bus_reply_method_return(m, "");
        if (r < 0 || std::get<bool>(*connected)) return r < 0 ? r : 1;
        *connected = true;
        if (opt_.gattOnConnect) {
            for (auto& [path, ifaces] : gattObjects()) {
                emitInterfacesAdded(path, ifaces);
                objects_[path] = std::move(ifaces);
            }
        }
        if (opt_.emitConnected) emitPropertiesChanged(identityPath_, "org.bluez.Device1", {{"Connected", true}});
        *resolved = true;
        emitPropertiesChanged(identityPath_, "org.bluez.Device1", {{"ServicesResolved", true}});
        return 1;
    }
    if (member == "Disconnect") {
        int r = sd_bus_reply_method_return(m, "");
        if (r < 0 || !std::get<bool>(*connected)) return r < 0 ? r : 1;
        *connected = false;
        *resolved = false;
        emitPropertiesChanged(identityPath_, "org.bluez.Device1",
                              {{"ServicesResolved", false}, {"Connected", false}});
        if (opt_.gattOnConnect) {
            for (auto& [path, ifaces] : gattObjects()) {
                emitInterfacesRemoved(path, ifaces);
                objects_.erase(path);
            }
        }
        return 1;
    }
    return 0;
}

int FakeBluez::handleCharacteristic(sd_bus_message* m, const std::string& path, std::string_view member) {
    if (member != "ReadValue" || !objects_.count(path)) return 0;
    if (!std::get<bool>(*property(identityPath_, "org.bluez.Device1", "Connected")))
        return sd_bus_reply_method_errorf(m, "org.bluez.Error.Failed", "Not connected");
    Value* uuid = property(path, "org.bluez.GattCharacteristic1", "UUID");
    if (!uuid || std::get<std::string>(*uuid) != kSerialNumberChar)
        return sd_bus_reply_method_errorf(m, "org.bluez.Error.NotPermitted", "Read not permitted");
    sd_bus_message* r = nullptr;
    check(sd_bus_message_new_method_return(m, &r), "new return");
    check(sd_bus_message_append_array(r, 'y', opt_.serial.data(), opt_.serial.size()), "append");
    int ret = sd_bus_send(bus_, r, nullptr);
    sd_bus_message_unref(r);
    return ret < 0 ? ret : 1;
}

int FakeBluez::handleCall(sd_bus_message* m) {
    const char* pathC = sd_bus_message_get_path(m);
    const char* ifaceC = sd_bus_message_get_interface(m);
    const char* memberC = sd_bus_message_get_member(m);
    if (!pathC || !ifaceC || !memberC) return 0;
    const std::string path = pathC;
    const std::string_view iface = ifaceC, member = memberC;
    ++calls_[std::string(member)];

    if (iface == kObjectManagerIface && member == "GetManagedObjects" && path == "/")
        return replyManagedObjects(m);
    if (iface == kPropertiesIface) return handleProperties(m, path, member);
    if (iface == "org.bluez.Adapter1" && path == kAdapterPath) return handleAdapter(m, member);
    if (iface == "org.bluez.Device1" && !identityPath_.empty() && path == identityPath_)
        return handleDevice(m, member);
    if (iface == "org.bluez.GattCharacteristic1") return handleCharacteristic(m, path, member);
    return 0;  // sd-bus answers UnknownObject / UnknownMethod
}

int FakeBluez::onMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
    if (!sd_bus_message_is_method_call(m, nullptr, nullptr)) return 0;
    return static_cast<FakeBluez*>(userdata)->handleCall(m);
}

void FakeBluez::readStdin() {
    char buf[4096];
    for (;;) {
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return;  // EAGAIN
        if (n == 0) {
            stdinOpen_ = false;
            quit_ = true;
            return;
        }
        stdinBuf_.append(buf, size_t(n));
        size_t nl;
        while ((nl = stdinBuf_.find('\n')) != std::string::npos) {
            std::string line = stdinBuf_.substr(0, nl);
            stdinBuf_.erase(0, nl + 1);
            if (line == "go" && phase_ == Phase::WaitingGo) startSending();
            if (line == "quit") quit_ = true;
        }
    }
}

void FakeBluez::run() {
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);

    buildObjects();
    check(sd_bus_open_system(&bus_), "connect to the bus");
    check(sd_bus_add_filter(bus_, nullptr, onMessage, this), "add filter");
    check(sd_bus_request_name(bus_, "org.bluez", 0), "own org.bluez");
    const char* unique = nullptr;
    check(sd_bus_get_unique_name(bus_, &unique), "unique name");
    say("READY %s", unique);

    const uint64_t intervalNs = opt_.rate > 0 ? uint64_t(1e9 / opt_.rate) : 0;
    while (!quit_) {
        int r;
        while ((r = sd_bus_process(bus_, nullptr)) > 0) {
        }
        check(r, "process");

        uint64_t waitNs = UINT64_MAX;
        if (phase_ == Phase::Sending) {
            uint64_t now = nowNs();
            uint64_t due = opt_.count;
            if (intervalNs) due = std::min<uint64_t>(opt_.count, (now - t0_) / intervalNs + 1);
            if (sent_ < due) {
                if (intervalNs) maxLagNs_ = std::max(maxLagNs_, now - (t0_ + sent_ * intervalNs));
                for (uint64_t k = std::min<uint64_t>(due - sent_, 64); k > 0; --k) sendOne();
            }
            if (sent_ == opt_.count) {
                check(sd_bus_flush(bus_), "flush");
                phase_ = Phase::Done;
                say("DONE sent=%llu expected=%llu devices=%llu elapsed_us=%llu max_lag_us=%llu",
                    (unsigned long long)sent_, (unsigned long long)expected_,
                    (unsigned long long)devicesSeen_, (unsigned long long)((nowNs() - t0_) / 1000),
                    (unsigned long long)(maxLagNs_ / 1000));
                continue;
            }
            if (sent_ < due || !intervalNs) continue;  // more is due already
            uint64_t next = t0_ + sent_ * intervalNs;
            now = nowNs();
            waitNs = next > now ? next - now : 0;
        }

        pollfd fds[2] = {};
        fds[0].fd = sd_bus_get_fd(bus_);
        fds[0].events = short(check(sd_bus_get_events(bus_), "events"));
        fds[1].fd = stdinOpen_ ? STDIN_FILENO : -1;
        fds[1].events = POLLIN;
        uint64_t busTimeoutUs = UINT64_MAX;
        check(sd_bus_get_timeout(bus_, &busTimeoutUs), "timeout");
        if (busTimeoutUs != UINT64_MAX) {
            uint64_t nowUs = nowNs() / 1000;
            waitNs = std::min(waitNs, busTimeoutUs > nowUs ? (busTimeoutUs - nowUs) * 1000 : 0);
        }
        timespec ts{};
        timespec* tsp = nullptr;
        if (waitNs != UINT64_MAX) {
            ts.tv_sec = time_t(waitNs / 1000000000u);
            ts.tv_nsec = long(waitNs % 1000000000u);
            tsp = &ts;
        }
        if (ppoll(fds, 2, tsp, nullptr) < 0 && errno != EINTR) die("poll", errno);
        if (fds[1].revents) readStdin();
    }

    // Calls that arrived together with the quit request still count.
    while (sd_bus_process(bus_, nullptr) > 0) {
    }
    std::string stats = "STATS";
    for (const auto& [name, n] : calls_) stats += " " + name + "=" + std::to_string(n);
    say("%s", stats.c_str());
    sd_bus_flush(bus_);
    sd_bus_flush_close_unref(bus_);
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: fake_bluez [--mode scan|identity] [--count N] [--devices M] [--new-share S]\n"
                 "                  [--rate R] [--wait-go] [--dfu] [--discovered]\n"
                 "                  [--address AA:BB:CC:DD:EE:FF] [--serial TEXT] [--gatt-on-connect]\n"
                 "                  [--emit-connected]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) usage();
            return argv[++i];
        };
        if (a == "--mode") opt.mode = next();
        else if (a == "--count") opt.count = std::strtoull(next(), nullptr, 10);
        else if (a == "--devices") opt.devices = uint32_t(std::strtoul(next(), nullptr, 10));
        else if (a == "--new-share") opt.newShare = std::strtod(next(), nullptr);
        else if (a == "--rate") opt.rate = std::strtod(next(), nullptr);
        else if (a == "--wait-go") opt.waitGo = true;
        else if (a == "--dfu") opt.dfu = true;
        else if (a == "--discovered") opt.discovered = true;
        else if (a == "--address") opt.address = next();
        else if (a == "--serial") opt.serial = next();
        else if (a == "--gatt-on-connect") opt.gattOnConnect = true;
        else if (a == "--emit-connected") opt.emitConnected = true;
        else usage();
    }
    if ((opt.mode != "scan" && opt.mode != "identity") || opt.devices == 0 || opt.devices > (1u << 24))
        usage();
    FakeBluez(std::move(opt)).run();
    return 0;
}
