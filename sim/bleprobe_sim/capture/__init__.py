"""Reading Bluetooth captures: what a gateway's radio heard and what
bluetoothd was told, as a stream of decoded events.  Standard library only.

Formats: btsnoop with datalink 2001 (btmon -w: the Linux monitor's records
of every controller and of the management channel, and bluetoothd's log
lines), 1002 (H4, Android) and 1001; pcap (either byte order, microsecond or
nanosecond) and pcapng (every section, interface and time resolution) with
link types 201 (H4 with its direction) and 254 (Linux monitor); each of them
gzip-compressed.

    from bleprobe_sim.capture import CaptureReader, CaptureError
    from bleprobe_sim.capture.events import AdvertisingReport, Discovering

    reader = CaptureReader(path, indexes=[0], kinds=[AdvertisingReport, Discovering])
    try:
        for event in reader:
            ...                                  # in the order of the file
    except CaptureError as e:
        print('bleprobe-sim: %s' % e)            # FILE: offset N: reason; exit 2
    if reader.cut_short:
        print(reader.cut_short)                  # cut short at offset N, ...

Iterating again reads the file again: a first pass with kinds=[ScanEnable]
(which spares the decoding of reports) finds the controller that scanned at
less than half the cost of a full one (bench/README.md).

Events (events.py; every one has time_us, index, offset and seconds(zero)):
from HCI, ControllerAdded/Removed, ScanParameters, ScanEnable (with the
duplicate filter), CommandResult, AdvertisingReport (each report of a legacy
event; an extended advertiser's fragments joined, with its data_status),
CreateConnection, CreateConnectionCancel, AcceptList, ConnectionComplete, Disconnect,
DisconnectionComplete and AttRead (a read of an attribute, value or ATT
error, the characteristic's UUID where the capture showed its discovery);
from the management channel, what the kernel gave bluetoothd (DeviceFound,
Discovering, DeviceConnected, DeviceDisconnected, ConnectFailed, and
DiscoveryResult, its answer to a discovery command) and what it asked
(DiscoveryRequest), each once per management socket it went to (the
receiver or sender names the socket's process); LogLine (LogLine.release:
bluetoothd's release, from the line it logs as it starts, so only in a
capture begun before bluetoothd) and SystemNote (the kernel's "Linux version
..." when btmon starts).

Reports the kernel dropped: in a monitor capture, each controller's
AdvertisingReport events are what its radio heard and its DeviceFound events
(receiver 'bluetoothd') what bluetoothd was given, in the order the kernel
handled them.  The kernel (process_adv_report in net/bluetooth/hci_event.c)
gives a report to bluetoothd as one DeviceFound of its address whose data is
the report's (the first AdData.length bytes), right after the report's
event; but while scanning actively, a connectable or scannable advertisement
waits for its scan response and goes out as one DeviceFound carrying the
response's data after its own, once the response, another address's report
or the end of the scan comes; it is lost if the same address advertises
again first.  A report without its DeviceFound while discovery was on was
dropped, by that rule or by a service discovery's filter
(DiscoveryRequest.rssi_threshold, .uuids).  A device whose private address
the kernel resolves (a bonded one) is given under its identity address.
Pairing the two is left to the caller.

Errors: a CaptureError for a capture that is not one of these formats or
whose lengths contradict each other (container records and blocks, HCI
packets, advertising reports, management events, the EIR data of a
DeviceFound); ValueError for a wrong option; OSError as open() raises it.
An AD structure that runs past an advertising report's data is the air's
doing, not the file's: the kernel drops it (ad.py), and so does the reader,
with AdData.overrun set.  The rule for a capture that ends inside a record
is in container.py."""

from .errors import CaptureError, CutShort
from .reader import CaptureReader

__all__ = ['CaptureError', 'CaptureReader', 'CutShort']
