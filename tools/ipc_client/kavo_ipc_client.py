#!/usr/bin/env python3
"""Send one IPC request to an endpoint and print the answer, or listen as an endpoint.

    kavo_ipc_client.py [--root DIR] [--name NAME] [--no-response] [--timeout S] TO FUNCTION [PAYLOAD]
    kavo_ipc_client.py [--root DIR] --listen NAME

PAYLOAD is JSON. The answer is printed as JSON; the exit status is 0 for statusCode 0, 1 for any
other status, 2 when the endpoint cannot be reached or does not answer in time. The test root
defaults to KAVO_ROOT (unset on the camera).
"""

import argparse
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "pylib"))
from kavo_ipc_peer import Connection, Endpoint, PeerClosed  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description="IPC request client")
    ap.add_argument("--root", default=None, help="test root (default: KAVO_ROOT)")
    ap.add_argument("--name", default="kavo_ipc_client", help="own endpoint name for the handshake")
    ap.add_argument("--no-response", action="store_true", help="send without expecting an answer")
    ap.add_argument("--timeout", type=float, default=5.0)
    ap.add_argument("--listen", metavar="NAME", help="listen as endpoint NAME and print what arrives")
    ap.add_argument("to", nargs="?")
    ap.add_argument("function", nargs="?")
    ap.add_argument("payload", nargs="?")
    args = ap.parse_args()

    if args.listen:
        with Endpoint(args.listen, args.root) as ep:
            try:
                while True:
                    for _, message in ep.poll(0.5):
                        print(json.dumps(message), flush=True)
            except KeyboardInterrupt:
                return 0
    if not args.to or not args.function:
        ap.error("TO and FUNCTION are required")
    payload = json.loads(args.payload) if args.payload else None
    return exchange(args.to, args.function, payload=payload, name=args.name, root=args.root,
                    response_expected=not args.no_response, timeout=args.timeout)


def exchange(to, function, payload=None, keys=None, name="kavo_ipc_client", root=None, response_expected=True,
             timeout=5.0):
    """Sends one request (`keys` at the top level of the message) and prints the answer; the exit
    status: 0 for statusCode 0, 1 for any other status, 2 when there is no answer."""
    keys = keys or {}
    try:
        with Connection.connect(to, name, root, timeout=timeout) as c:
            if not response_expected:
                c.request(function, payload, response_expected=False, **keys)
                return 0
            answer = c.call(function, payload, timeout=timeout, **keys)
    except (OSError, TimeoutError, PeerClosed, ValueError) as e:
        print("%s: %s" % (os.path.basename(sys.argv[0]), e or type(e).__name__), file=sys.stderr)
        return 2
    print(json.dumps(answer, indent=2))
    return 0 if answer.get("statusCode") == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
