"""Writing or checking the files a drawing script makes (the script is the source of the files)."""

import os
import sys


def write_or_check(argv, default_dir, files, what, same=None):
    """Writes `files` (name, bytes) into the folder given in argv (default_dir without one); with
    --check only compares them with what is there and names the ones that differ. `same(name, present,
    data)` decides the comparison (bytes equal by default). Returns the exit code."""
    check = "--check" in argv
    args = [a for a in argv if a != "--check"]
    outdir = args[0] if args else default_dir
    stale = []
    for name, data in files:
        path = os.path.join(outdir, name)
        if check:
            try:
                with open(path, "rb") as f:
                    present = f.read()
            except OSError:
                stale.append(name)
                continue
            if not (same(name, present, data) if same else present == data):
                stale.append(name)
        else:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
    if stale:
        print(what + " differ from what " + os.path.basename(sys.argv[0]) + " draws: " + ", ".join(stale),
              file=sys.stderr)
        return 1
    return 0
