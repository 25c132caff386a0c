// BusEventSource on a direct connection between two sd-bus peers over a
// socketpair: no bus daemon, nothing timed but generous bounds on a loop.
#include "ble/bluez/bus_event_source.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <systemd/sd-id128.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "sd/sd_handle.h"

namespace {

constexpr char kDisconnectedRule[] =
    "type='signal',path='/org/freedesktop/DBus/Local',interface='org.freedesktop.DBus.Local',member='Disconnected'";

class BusEventSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sd_event_new(event_.put()), 0);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds), 0);
    sd_id128_t id;
    ASSERT_EQ(sd_id128_randomize(&id), 0);
    ASSERT_EQ(sd_bus_new(server_.put()), 0);
    ASSERT_EQ(sd_bus_set_fd(server_.get(), fds[0], fds[0]), 0);
    ASSERT_EQ(sd_bus_set_server(server_.get(), 1, id), 0);
    ASSERT_EQ(sd_bus_set_anonymous(server_.get(), 1), 0);
    ASSERT_EQ(sd_bus_new(client_.put()), 0);
    ASSERT_EQ(sd_bus_set_fd(client_.get(), fds[1], fds[1]), 0);
    ASSERT_EQ(sd_bus_set_anonymous(client_.get(), 1), 0);
    ASSERT_EQ(sd_bus_start(server_.get()), 0);
    ASSERT_EQ(sd_bus_start(client_.get()), 0);
    ASSERT_TRUE(serverSource_.attach(server_.get(), event_.get()));
    ASSERT_TRUE(clientSource_.attach(client_.get(), event_.get()));
  }

  // Runs the loop until `done` holds; false if it never does.
  bool runUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 1000 && !done(); ++i) sd_event_run(event_.get(), 10000);
    return done();
  }

  static int count(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
    if (sd_bus_message_is_signal(m, "com.example.Test", nullptr)) ++*static_cast<int*>(userdata);
    return 0;
  }

  sd::EventHandle event_;
  sd::BusHandle server_;
  sd::BusHandle client_;
  bluez::BusEventSource serverSource_;
  bluez::BusEventSource clientSource_;
};

TEST_F(BusEventSourceTest, EverySignalOfABurstIsDispatched) {
  int received = 0;
  sd::SlotHandle filter;
  ASSERT_EQ(sd_bus_add_filter(client_.get(), filter.put(), &BusEventSourceTest::count, &received), 0);
  // More than one socket read's worth: the burst arrives in pieces.
  constexpr int kSignals = 2000;
  for (int i = 0; i < kSignals; ++i) {
    ASSERT_GE(sd_bus_emit_signal(server_.get(), "/t", "com.example.Test", "Ping", "u", static_cast<uint32_t>(i)), 0);
  }
  EXPECT_TRUE(runUntil([&] { return received == kSignals; })) << received;
}

TEST_F(BusEventSourceTest, ACallNobodyAnswersTimesOutWithoutOtherTraffic) {
  // The server swallows calls: only the client's timer can end this one.
  sd::SlotHandle swallow;
  ASSERT_EQ(sd_bus_add_filter(
                server_.get(), swallow.put(),
                [](sd_bus_message* m, void*, sd_bus_error*) { return sd_bus_message_is_method_call(m, nullptr, nullptr); },
                nullptr),
            0);
  sd::MessageHandle call;
  ASSERT_EQ(sd_bus_message_new_method_call(client_.get(), call.put(), nullptr, "/t", "com.example.Test", "Ping"), 0);
  int error = 0;
  sd::SlotHandle pending;
  ASSERT_GE(sd_bus_call_async(
                client_.get(), pending.put(), call.get(),
                [](sd_bus_message* reply, void* userdata, sd_bus_error*) {
                  *static_cast<int*>(userdata) = sd_bus_message_get_errno(reply);
                  return 0;
                },
                &error, 1000),
            0);
  EXPECT_TRUE(runUntil([&] { return error != 0; }));
  EXPECT_EQ(error, ETIMEDOUT);
}

TEST_F(BusEventSourceTest, AClosedConnectionIsReportedOnceAndThenLeavesTheLoopIdle) {
  int disconnected = 0;
  sd::SlotHandle match;
  ASSERT_GE(sd_bus_add_match(
                client_.get(), match.put(), kDisconnectedRule,
                [](sd_bus_message*, void* userdata, sd_bus_error*) {
                  ++*static_cast<int*>(userdata);
                  return 0;
                },
                &disconnected),
            0);
  // Let the two sides finish authenticating first.
  int received = 0;
  sd::SlotHandle filter;
  ASSERT_EQ(sd_bus_add_filter(client_.get(), filter.put(), &BusEventSourceTest::count, &received), 0);
  ASSERT_GE(sd_bus_emit_signal(server_.get(), "/t", "com.example.Test", "Ping", "u", 1u), 0);
  ASSERT_TRUE(runUntil([&] { return received == 1; }));

  sd_bus_close(server_.get());
  ASSERT_TRUE(runUntil([&] { return disconnected == 1; }));
  // A socket at end of file is always readable: a source still watching it
  // would be dispatched again at once.
  EXPECT_EQ(sd_event_run(event_.get(), 0), 0);
  EXPECT_EQ(disconnected, 1);
}

}  // namespace
