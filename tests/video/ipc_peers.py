#!/usr/bin/env python3
"""Stand-in peers of the streamer: named IPC endpoints that record every message they receive.

    ipc_peers.py OUT READY NAME...

Listens as each NAME under the test root (KAVO_ROOT), touches READY once all listen, and appends
every message received as one JSON line to OUT, with the receiving endpoint under "_peer". Ends
when OUT + ".stop" exists, or after 60 seconds.
"""
import json
import os
import sys
import time

sys.path.insert(0, os.environ.get("KAVO_PYLIB", os.path.join(os.path.dirname(__file__), "..", "pylib")))
from kavo_ipc_peer import Endpoint  # noqa: E402


def main():
    out, ready, names = sys.argv[1], sys.argv[2], sys.argv[3:]
    endpoints = [Endpoint(name) for name in names]
    with open(ready, "w"):
        pass
    deadline = time.monotonic() + 60
    with open(out, "a") as f:
        while time.monotonic() < deadline and not os.path.exists(out + ".stop"):
            for ep in endpoints:
                for _, message in ep.poll(0.02):
                    message["_peer"] = ep.name
                    f.write(json.dumps(message) + "\n")
                    f.flush()
    for ep in endpoints:
        ep.close()


if __name__ == "__main__":
    main()
