"""What the desktop tests share."""

import glob


def faketime_library():
    """The libfaketime preload library, or None. Preloaded directly: the `faketime` wrapper
    forks and waits, so the program's exit status and signals would be the wrapper's."""
    for pattern in ("/usr/lib/*/faketime/libfaketime.so.1", "/usr/lib/faketime/libfaketime.so.1",
                    "/usr/local/lib/faketime/libfaketime.so.1"):
        found = sorted(glob.glob(pattern))
        if found:
            return found[0]
    return None
