"""Command line: run the stand-in until SIGTERM or SIGINT."""

import argparse
import signal
import sys
import threading

from .standin import StandIn, load_constants


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m service", description="Run the service stand-in.")
    parser.add_argument("--root", required=True,
                        help="folder for stored files, upload sessions and (by default) the PKI")
    parser.add_argument("--port", type=int, default=443, help="HTTPS port on 127.0.0.1 (0: any free port)")
    parser.add_argument("--control-port", type=int, default=0,
                        help="plain-HTTP control port on 127.0.0.1 (default 0: any free port; -1: none)")
    parser.add_argument("--pki", help="folder of the test PKI (default ROOT/pki)")
    parser.add_argument("--constants", help="service_constants.json written by the build")
    parser.add_argument("--uid", type=int, default=12345678, help="uid of the default account")
    args = parser.parse_args(argv)

    constants = load_constants(args.constants) if args.constants else None
    control = None if args.control_port < 0 else args.control_port
    standin = StandIn(args.root, port=args.port, pki_dir=args.pki, constants=constants, control_port=control,
                      default_uid=args.uid)
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    standin.start()
    line = "service listening on https://localhost:%d" % standin.port
    if standin.control_port:
        line += " control http://127.0.0.1:%d" % standin.control_port
    print(line, flush=True)
    try:
        while not stop.wait(3600):
            pass
    finally:
        standin.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
