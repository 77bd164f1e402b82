"""python -m norvix_devserver [--host H] [--port P] [--user U] [--token T] [--quiet]"""

from __future__ import annotations

import argparse
import signal
import sys

from .server import DEFAULT_HOST, DEFAULT_PORT, DEFAULT_TOKEN, DEFAULT_USER, make_server


def _port(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"{value} is not a port number")
    return value


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m norvix_devserver",
                                     description="Local development stand-in for the Norvix data service.")
    parser.add_argument("--host", default=DEFAULT_HOST, help=f"address to listen on (default {DEFAULT_HOST})")
    parser.add_argument("--port", type=_port, default=DEFAULT_PORT,
                        help=f"port to listen on, 0 for any free one (default {DEFAULT_PORT})")
    parser.add_argument("--user", default=DEFAULT_USER, help=f"expected 'mobile' header (default {DEFAULT_USER})")
    parser.add_argument("--token", default=DEFAULT_TOKEN, help=f"expected 'token' header (default {DEFAULT_TOKEN})")
    parser.add_argument("--quiet", action="store_true", help="do not log each request")
    args = parser.parse_args(argv)

    try:
        server = make_server(args.host, args.port, user=args.user, token=args.token, quiet=args.quiet)
    except OSError as error:
        print(f"norvix_devserver: cannot listen on {args.host}:{args.port}: {error}", file=sys.stderr)
        return 1

    # Stop cleanly on SIGTERM as on Ctrl-C.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(0))
    print(f"norvix_devserver listening on {server.url}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
