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
// The BlueZ behaviours worked around here, each handled in one place below:
// - UUID filters: bluetoothd matches a filter's UUIDs only against the
//   advertised service-UUID lists, never against service-data keys (every
//   release), so it would hide the very peripherals we look for. The filter
//   has no UUIDs; the scanner picks its service itself.
// - Pattern: one client's Pattern filters what every client's discovery
//   reports (seen on 5.66, 5.82 and 5.87), which would blind a scanner that
//   runs beside a search. The filter has no Pattern.
// - A client that leaves the bus with its filter still set ends the
//   discovery of every other client, which bluetoothd keeps registered
//   (5.66, 5.82, 5.87). We stop, then clear the filter once the stop is
//   answered, and the run does not end before that answer. Clearing it while
//   still discovering would change the merged filter and make bluetoothd
//   restart the other programs' scan.
// - When it happens to us all the same, Discovering turns false while we
//   scan: after a moment the discovery is started again.
// - StartDiscovery from a client that bluetoothd still counts as
//   discovering is answered InProgress (every release): a restart stops
//   first, and InProgress is never taken for a refusal.
// - The search's deadline. With most controllers the kernel keeps the
//   controller's duplicate filter on during a discovery (it turns it off
//   only while an advertisement monitor is registered or, on 6.12, for a
//   few strictly filtering controllers in a filtered discovery; DuplicateData
//   never reaches it): an unchanged advertiser is reported once per 10.24 s
//   scan round. A lost report is made up for only by a later advertisement
//   heard in a round that has not reported the address yet. At the slowest
//   legacy interval (10.24 s) that is the peripheral's next advertisement,
//   or, when that one falls at a round's end while the scan restarts, the
//   one after: up to about 20.5 s into the search (kSearchTime).
// - An advertisement can be lost in the air, with any release and
//   controller. Kernel 6.12 and later (Debian 13, Debian unstable) also lose
//   reports themselves: they signal Discovering and start scanning before
//   they complete the start of a discovery, and bluetoothd drops what is
//   found in between, so the first report of a discovery started from idle
//   can be lost (never seen on 6.1); the controller has let that address
//   through its duplicate filter, so nothing more comes in that round.
// - Rounds: bluetoothd restarts a filtered discovery's round at once, but
//   since 5.67 runs a filter that asks nothing beyond the controller's own
//   scan type as a plain discovery (5.66 takes every filter as filtered):
//   on an LE-only controller, a 10.24 s round, then a 5 s pause, the second
//   round from 15.24 s. An advertisement lost early in the first round whose
//   successor falls in that pause would be heard up to 25.5 s in, past the
//   deadline. Asking for DuplicateData makes the filter ask more, which
//   keeps the discovery filtered on every release, on LE-only and dual-mode
//   controllers alike. A scan asks for it anyway; a search does too.
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
