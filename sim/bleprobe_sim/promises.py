"""The times bleprobe promises its callers (doc/protocol.md, sections 3 and
6), as the bounds a test holds a run to: (low, high) in seconds, so that a
run that lingers fails as surely as one that hurries. Each bound leaves a
margin for a loaded machine, with its reason beside it. The integration
suite and examples/check_scenarios.py hold bleprobe to these; a caller's
tests can do the same."""

# The search for a peripheral that BlueZ does not list, and the limit of an
# identity run, both counted from the tool's start.
SEARCH_S = 25.0
LIMIT_S = 60.0
# What a connection being released adds to a result: the line waits for
# BlueZ to confirm the disconnection, or this long at the latest (BlueZ's
# slow-disconnect, doc/bluez-behaviour.md, makes the latest the usual case).
RELEASE_S = 1.0
# After its line, identity waits for BlueZ to drop its link, at most this
# long, so that the next run never meets a dying link.
LINK_DOWN_S = 3.0

# From the tool's start (half a second early for where a test takes its
# times): identity-device-not-found after the whole search, and at most 2 s
# of a loaded machine's start-up and bus round trips later.
NOT_FOUND_LINE = (SEARCH_S - 0.5, SEARCH_S + 2.0)
# identity-timeout at the limit, or up to RELEASE_S later while a connection
# is released; any other identity line by then.
TIMEOUT_LINE = (LIMIT_S - 0.5, LIMIT_S + RELEASE_S + 0.5)
ANY_IDENTITY_LINE = (0.0, TIMEOUT_LINE[1])

# From Disconnect, when no disconnection comes: the deferred line.
LINE_AFTER_DISCONNECT = (RELEASE_S - 0.3, RELEASE_S + 0.3)
# From SIGTERM before a result: identity-cancelled at once where there is no
# link to release, within RELEASE_S where there is one.
CANCELLED_LINE = (0.0, 0.5)
CANCELLED_LINE_RELEASING = (0.0, RELEASE_S + 0.3)

# From SIGTERM: a scan stops its discovery (one round trip to bluetoothd)
# and exits, as does identity waiting for its link to go down.
EXIT_AFTER_SIGTERM = (0.0, 0.5)
# From the last line, for a run with nothing to wait for but the stop of its
# discovery (a scan ended by an error, identity without a link) ...
EXIT_AFTER_LINE = (0.0, 1.0)
# ... and for identity, which waits for its link to go down
LINKED_EXIT_AFTER_LINE = (0.0, LINK_DOWN_S + 0.5)
# ... the whole time where BlueZ never says it did.
EXIT_AFTER_LINK_WAIT = (LINK_DOWN_S - 0.3, LINK_DOWN_S + 0.5)

# From the event after which the tool waits half a second for the adapter's
# fate (doc/bluez-behaviour.md: links-end-first, discovery-ended-under-us) to
# the line of a link's end, a failed Connect or a failed read, or to the
# restart of a discovery that BlueZ ended: a little less for the two
# processes' clocks, and more for the way through the bus, a disconnection of
# 0.05 s and a loaded machine (0.96 s seen once in 27 at a load of 6; a build
# that waits 5 s, or not at all, fails either way).
AFTER_HALF_SECOND_WAIT = (0.45, 1.2)

# From the event that ended a scan (the adapter switched off, bluetoothd
# gone) to its error line: only lateness is measured, since the event's
# time in a scenario counts from the simulation's start, a little before
# the tool's (0.35 s seen on a loaded machine).
ERROR_AFTER_EVENT = 0.5
