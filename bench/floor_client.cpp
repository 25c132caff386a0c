// The cheapest possible receiver of the scan traffic: one sd-bus connection,
// the match rule a scanner needs, a callback that only counts. Its CPU time per
// message is what the bus and sd-bus cost any client, the floor against which
// the tool's cost per report is compared.
//
// With --event-loop it is driven by sd-event, as the tool is, which shows what
// the loop itself adds per message.
//
// It calls StartDiscovery once (so that fake_bluez starts sending, exactly as
// for the tool), exits after --count signals and prints
// "RECEIVED <n> VmHWM_KIB <peak RSS>".

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

struct Counter {
    uint64_t received = 0;
    uint64_t wanted = 0;
    sd_event* event = nullptr;
};

int onSignal(sd_bus_message*, void* userdata, sd_bus_error*) {
    auto* counter = static_cast<Counter*>(userdata);
    if (++counter->received == counter->wanted && counter->event) sd_event_exit(counter->event, 0);
    return 0;
}

[[noreturn]] void die(const char* what, int r) {
    std::fprintf(stderr, "floor_client: %s: %s\n", what, std::strerror(-r));
    std::exit(1);
}

// Peak RSS as the kernel sees this image: the rusage a parent gets also
// counts the parent's own pages from before exec.
long peakRssKib() {
    long hwm = -1;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "VmHWM: %ld", &hwm) == 1) break;
        std::fclose(f);
    }
    return hwm;
}

}  // namespace

int main(int argc, char** argv) {
    Counter counter;
    bool withAdded = false;  // devices announced by InterfacesAdded (fake_bluez --discovered)
    bool eventLoop = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--count" && i + 1 < argc) {
            counter.wanted = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--with-added") {
            withAdded = true;
        } else if (a == "--event-loop") {
            eventLoop = true;
        } else {
            std::fprintf(stderr, "usage: floor_client --count N [--with-added] [--event-loop]\n");
            return 2;
        }
    }

    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) die("connect to the bus", r);
    if (eventLoop) {
        if ((r = sd_event_default(&counter.event)) < 0) die("sd_event_default", r);
        if ((r = sd_bus_attach_event(bus, counter.event, SD_EVENT_PRIORITY_NORMAL)) < 0) die("attach", r);
    }

    r = sd_bus_add_match(bus, nullptr,
                         "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
                         "member='PropertiesChanged',path_namespace='/org/bluez',arg0='org.bluez.Device1'",
                         onSignal, &counter);
    if (r < 0) die("add match", r);
    if (withAdded) {
        r = sd_bus_add_match(bus, nullptr,
                             "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager',"
                             "member='InterfacesAdded',path='/'",
                             onSignal, &counter);
        if (r < 0) die("add match", r);
    }

    sd_bus_error error = SD_BUS_ERROR_NULL;
    r = sd_bus_call_method(bus, "org.bluez", "/org/bluez/hci0", "org.bluez.Adapter1", "StartDiscovery",
                           &error, nullptr, "");
    if (r < 0) die("StartDiscovery", r);

    if (counter.event) {
        if (counter.received < counter.wanted && (r = sd_event_loop(counter.event)) < 0) die("event loop", r);
    } else {
        while (counter.received < counter.wanted) {
            r = sd_bus_process(bus, nullptr);
            if (r < 0) die("process", r);
            if (r > 0) continue;
            if ((r = sd_bus_wait(bus, UINT64_MAX)) < 0) die("wait", r);
        }
    }
    std::printf("RECEIVED %llu VmHWM_KIB %ld\n", (unsigned long long)counter.received, peakRssKib());
    sd_bus_flush_close_unref(bus);
    sd_event_unref(counter.event);
    return 0;
}
