#!/usr/bin/env python3
"""Send one ISP request to the ISP server ("kavo_ispserver") and print the answer.

    kavo_isp_client.py [--root DIR] [--name NAME] [--no-response] [--timeout S] FUNCTION [SETTINGS]

FUNCTION is one of ChangeIspSettings, ResetIspSettings, ResetAllIspSettings, ReloadIspSettings and
ReInitIsp. SETTINGS is a JSON object whose keys go into the request as they stand, for example
'{"brightness": 70, "mirror": 1}'. The answer is printed as JSON; the exit status is 0 for
statusCode 0, 1 for any other status (a change that analytics refused, or "Busy"), 2 when the
server cannot be reached or does not answer in time. "ReInitIsp" is never answered, so it is sent
without waiting. The test root defaults to KAVO_ROOT (unset on the camera).
"""

import argparse
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ipc_client"))
from kavo_ipc_client import exchange  # noqa: E402

FUNCTIONS = ("ChangeIspSettings", "ResetIspSettings", "ResetAllIspSettings", "ReloadIspSettings", "ReInitIsp")


def main():
    ap = argparse.ArgumentParser(description="ISP request client")
    ap.add_argument("--root", default=None, help="test root (default: KAVO_ROOT)")
    ap.add_argument("--name", default="kavo_isp_client", help="own endpoint name for the handshake")
    ap.add_argument("--no-response", action="store_true", help="send without expecting an answer")
    ap.add_argument("--timeout", type=float, default=15.0,
                    help="seconds to wait for the answer (a change waits up to 10 s for analytics)")
    ap.add_argument("function", choices=FUNCTIONS)
    ap.add_argument("settings", nargs="?", help="JSON object of settings")
    args = ap.parse_args()
    try:
        keys = json.loads(args.settings) if args.settings else {}
    except ValueError as e:
        ap.error("SETTINGS is no JSON: %s" % e)
    if not isinstance(keys, dict):
        ap.error("SETTINGS must be a JSON object")
    return exchange("kavo_ispserver", args.function, keys=keys, name=args.name, root=args.root,
                    response_expected=not args.no_response and args.function != "ReInitIsp",
                    timeout=args.timeout)


if __name__ == "__main__":
    sys.exit(main())
