"""What the bluetoothd releases the simulation plays do differently: the one
place that knows.  What each flag stands for, and how it was seen on the
real daemons, is told in doc/bluez-behaviour.md; the model asks these flags
and never a release number."""

DEFAULT_PROFILE = '5.66'

# duplicate_filter: how the controller's duplicate filter lets advertisements
# through during a discovery (model/radio.py), by default: as the end-to-end
# VM's virtual controllers did under each release's kernel (duplicate_filter
# in doc/bluez-behaviour.md).
PROFILES = {
    '5.55': {'connected_at_start': False, 'combined_link_loss': False, 'server_handles': False,
             'bearer': False, 'first_report_lost': False, 'scan_type_filter_is_plain': False,
             'duplicate_filter': 'addressAndData'},
    '5.66': {'connected_at_start': False, 'combined_link_loss': False, 'server_handles': False,
             'bearer': False, 'first_report_lost': False, 'scan_type_filter_is_plain': False,
             'duplicate_filter': 'addressAndData'},
    '5.82': {'connected_at_start': True, 'combined_link_loss': True, 'server_handles': True,
             'bearer': False, 'first_report_lost': True, 'scan_type_filter_is_plain': True,
             'duplicate_filter': 'addressAndData'},
    '5.87': {'connected_at_start': True, 'combined_link_loss': True, 'server_handles': True,
             'bearer': True, 'first_report_lost': True, 'scan_type_filter_is_plain': True,
             'duplicate_filter': 'addressAndData'},
}

# With server_handles: the handles a real peripheral's Generic Access and
# Generic Attribute services span (declarations, values and the Service
# Changed descriptor), whatever characteristics a test gives them.
SERVER_SPANS = {'1800': 9, '1801': 6}

# With bearer: the reasons Device1.Disconnected gives, by what ended the link.
DISCONNECT_REASONS = {
    'local': ('org.bluez.Reason.Local', 'Connection terminated by local host'),
    'remote': ('org.bluez.Reason.Remote', 'Connection terminated by remote user'),
    'timeout': ('org.bluez.Reason.Timeout', 'Connection timeout'),
}
