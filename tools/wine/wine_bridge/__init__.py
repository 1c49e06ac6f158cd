"""The wine bridge installer's parts (tools/wine/install_wine_bridge.py):
registry value (winereg), files in the prefix (prefixfs), what an install
did (record), the native library and the bridge (binaries), wine itself
(wine), text from input as messages show it (text)."""


class Stop(Exception):
    """Ends the run: the message is its one line on stderr. Raised before
    anything changed unless the message says what did."""
