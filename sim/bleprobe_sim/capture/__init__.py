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

Events (events.py; every one has time_us, index, offset and seconds(zero)):
from HCI, ControllerAdded/Removed, ScanParameters, ScanEnable (with the
duplicate filter), CommandResult, AdvertisingReport (each report of a legacy
event; an extended advertiser's fragments joined, with its data_status),
CreateConnection, CreateConnectionCancel, ConnectionComplete, Disconnect,
DisconnectionComplete and AttRead (a read of an attribute, value or ATT
error, the characteristic's UUID where the capture showed its discovery);
from the management channel, what the kernel gave bluetoothd (DeviceFound,
Discovering, DeviceConnected, DeviceDisconnected, ConnectFailed) and what it
asked (DiscoveryRequest); LogLine (LogLine.release: bluetoothd's release
from its first line) and SystemNote.

Reports the kernel dropped: in a monitor capture each controller's
AdvertisingReport events are what the radio heard and its DeviceFound
events what bluetoothd was given, in the order they happened.  A report
reaches bluetoothd, while discovery is on, as the next DeviceFound of its
address whose data starts with the report's (AdData.length bytes of it:
the kernel drops a structure that runs past the data); an advertisement
that waits for its scan response is given with the response's data after
its own, possibly after another advertiser's report.

Errors: a CaptureError for a capture that is not one of these formats or
whose lengths contradict each other (container records and blocks, HCI
packets, advertising reports, management events); ValueError for a wrong
option; OSError as open() raises it.  The rule for a capture that ends
inside a record is in container.py."""

from .errors import CaptureError, CutShort
from .reader import CaptureReader

__all__ = ['CaptureError', 'CaptureReader', 'CutShort']
