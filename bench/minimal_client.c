/* The least a scanner on sd-bus can do per advertisement, and so the reference
 * the tool's scanning CPU is compared against: one connection, AddMatch for
 * the same PropertiesChanged signals, a callback that only counts,
 * sd_bus_process until it returns 0, then poll() on the bus fd. No event
 * loop, no reading of the signal's body.
 *
 * It calls StartDiscovery once (fake_bluez starts sending on it, as for the
 * tool). Once --count signals have arrived it prints
 * "RECEIVED <n> VmHWM_KIB <peak RSS>" and goes on receiving until it is
 * killed, so that the driver measures it exactly as it measures the tool. */

#include <systemd/sd-bus.h>

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint64_t received;

static int on_signal(sd_bus_message *m, void *userdata, sd_bus_error *error) {
    (void)m;
    (void)userdata;
    (void)error;
    ++received;
    return 0;
}

static void die(const char *what, int r) {
    fprintf(stderr, "minimal_client: %s: %s\n", what, strerror(r < 0 ? -r : r));
    exit(1);
}

/* The image's own peak: a parent's rusage would add its pages from before exec. */
static long peak_rss_kib(void) {
    long hwm = -1;
    char line[256];
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "VmHWM: %ld", &hwm) == 1) break;
    fclose(f);
    return hwm;
}

int main(int argc, char **argv) {
    uint64_t wanted = 0;
    int with_added = 0; /* devices announced by InterfacesAdded (fake_bluez --discovered) */
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--count") == 0 && i + 1 < argc) {
            wanted = strtoull(argv[++i], NULL, 10);
        } else if (strcmp(argv[i], "--with-added") == 0) {
            with_added = 1;
        } else {
            fprintf(stderr, "usage: minimal_client --count N [--with-added]\n");
            return 2;
        }
    }

    sd_bus *bus = NULL;
    int r = sd_bus_open_system(&bus);
    if (r < 0) die("connect to the bus", r);
    r = sd_bus_add_match(bus, NULL,
                         "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
                         "member='PropertiesChanged',path_namespace='/org/bluez',arg0='org.bluez.Device1'",
                         on_signal, NULL);
    if (r < 0) die("add match", r);
    if (with_added) {
        r = sd_bus_add_match(bus, NULL,
                             "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager',"
                             "member='InterfacesAdded',path='/'",
                             on_signal, NULL);
        if (r < 0) die("add match", r);
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    r = sd_bus_call_method(bus, "org.bluez", "/org/bluez/hci0", "org.bluez.Adapter1", "StartDiscovery", &error,
                           NULL, "");
    if (r < 0) die("StartDiscovery", r);

    struct pollfd pfd = {.fd = sd_bus_get_fd(bus), .events = POLLIN};
    int reported = 0;
    for (;;) {
        while ((r = sd_bus_process(bus, NULL)) > 0) {
        }
        if (r < 0) die("process", r);
        if (!reported && received >= wanted) {
            printf("RECEIVED %llu VmHWM_KIB %ld\n", (unsigned long long)received, peak_rss_kib());
            fflush(stdout);
            reported = 1;
        }
        if (poll(&pfd, 1, -1) < 0 && errno != EINTR) die("poll", errno);
    }
}
