#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "ble/bluez/task_queue.h"
#include "ble/bluez/teardown_tracker.h"
#include "sd/event_timer.h"
#include "sd/sd_handle.h"

namespace bluez {

// BlueZ's discovery on one adapter, for a scan or for the search of a
// peripheral that BlueZ has forgotten: the filter, the start, the stop and
// then the clearing of the filter, the restart of a discovery that BlueZ
// ended, and the search's deadline.
//
// Most of what is done here answers a behaviour of bluetoothd or of the
// kernel that its API does not state: the filter's missing UUIDs and Pattern,
// the clearing of the filter only once the stop is answered, the restart, the
// InProgress answer, DuplicateData in a search and the 25 s deadline. Each is
// a row of doc/bluez-behaviour.md (uuid-filter, pattern, filter-left-set,
// discovery-ended-under-us, in-progress, discovering-before-powered,
// duplicate_filter, first_report_lost, scan_type_filter_is_plain), with the
// test that fails without it.
class BluezDiscovery {
 public:
  // How long BlueZ may take to see a peripheral it has forgotten: long
  // enough for one lost report at the slowest legacy interval (see the class
  // comment), with margin. An absent peripheral is reported after it, well
  // within the 60 s limit of a run.
  static constexpr std::chrono::seconds kSearchTime{25};
  // Discovering also goes false just before Powered does: a restart waits
  // this long for the adapter's fate.
  static constexpr std::chrono::milliseconds kRestartDelay{500};
  // Restarts of a discovery that BlueZ ended under us, before giving up.
  static constexpr int kMaxRestarts = 3;

  class Delegate {
   public:
    // The adapter has been reported on: a scan that BlueZ ended may be restarted.
    virtual bool discoveryMayRestart() const = 0;
    // BlueZ refused to discover; any search has been abandoned.
    virtual void discoveryWasRefused(const sd_bus_error* error) = 0;
    // A scan could not be kept running.
    virtual void discoveryDidGiveUp() = 0;
    // The search is over, found or not, and its discovery stopped.
    virtual void searchDidEnd() = 0;

   protected:
    ~Delegate() = default;
  };

  BluezDiscovery(sd_bus* bus, sd_event* event, TaskQueue& tasks, TeardownTracker& teardown, Delegate& delegate);
  ~BluezDiscovery();
  BluezDiscovery(const BluezDiscovery&) = delete;
  BluezDiscovery& operator=(const BluezDiscovery&) = delete;

  void useAdapter(std::string path) { adapterPath_ = std::move(path); }
  // The adapter's Discovering property, as BlueZ reports it.
  void setDiscovering(bool discovering) { discovering_ = discovering; }
  // Called once a change of Discovering has been taken in with the rest of
  // the adapter's change.
  void discoveringChanged();

  // False when the request could not be sent.
  bool startScan(bool duplicates);
  void stopScan();
  bool scanning() const { return scanRequested_; }

  // Discovers until endSearch() or the deadline; false when it could not start.
  bool startSearch();
  bool searching() const { return searching_; }
  void endSearch();

  // The adapter is off or gone: whatever was discovering has ended with it.
  void adapterLost();

 private:
  static int onFilterReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onStartReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onStopReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onLoopExit(sd_event_source* source, void* userdata);

  int start(bool restart);
  void refused(sd_bus_message* reply);
  void checkDiscovering();
  void stop();
  int sendStop(sd::SlotHandle* slot);
  void sendClearFilter();
  // Ends the search without a word to BlueZ; false if none was under way.
  bool abandonSearch();

  sd_bus* bus_;
  TaskQueue& tasks_;
  TeardownTracker& teardown_;
  Delegate& delegate_;
  std::string adapterPath_;
  bool discovering_ = false;
  bool scanRequested_ = false;  // a scan runs: advertisements are reported
  bool duplicates_ = false;
  bool searching_ = false;
  int restarts_ = 0;

  sd::SlotHandle filterCall_;
  sd::SlotHandle startCall_;
  sd::SlotHandle stopCall_;
  std::function<void()> afterStop_;
  sd::EventTimer searchTimer_;
  sd::EventTimer restartTimer_;
  sd::EventSourceHandle exitSource_;
};

}  // namespace bluez
