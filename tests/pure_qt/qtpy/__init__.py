"""A pure-Python stand-in for the few Qt names that the field, the host stand-in and the
suite's doubles touch, for the runs that must see every reference and every allocation: a
binding's release-built code escapes a debug interpreter's reference total, and its own
handling of a failed allocation is not the field's. Put this directory first on sys.path.

Only the behaviour those callers rely on is here: signals connect and emit, widgets keep
their layout, layouts keep their items, labels keep their text, style and visibility.
"""

API_NAME = "pure"
QT_VERSION = "0"
