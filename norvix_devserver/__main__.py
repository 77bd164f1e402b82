"""python -m norvix_devserver [serve] [--host H] [--port P] [--user U] [--token T] [--db PATH] [--quiet]
python -m norvix_devserver generate [--db PATH] [--force]"""

from __future__ import annotations

import argparse
import signal
import sys

from .generate import DEFAULT_PLAN, ensure_database
from .server import DEFAULT_HOST, DEFAULT_PORT, DEFAULT_TOKEN, DEFAULT_USER, make_server, open_store
from .store import DB_ENV, StoreError, default_database_path


def _port(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"{value} is not a port number")
    return value


DB_HELP = f"the SQLite database (default ${DB_ENV}, else .devdata/norvix.sqlite in the repository)"


def _serve_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m norvix_devserver",
        description="Local development stand-in for the Norvix data service. "
                    "'python -m norvix_devserver generate' builds its database ahead of time.")
    parser.add_argument("--host", default=DEFAULT_HOST, help=f"address to listen on (default {DEFAULT_HOST})")
    parser.add_argument("--port", type=_port, default=DEFAULT_PORT,
                        help=f"port to listen on, 0 for any free one (default {DEFAULT_PORT})")
    parser.add_argument("--user", default=DEFAULT_USER, help=f"expected 'mobile' header (default {DEFAULT_USER})")
    parser.add_argument("--token", default=DEFAULT_TOKEN, help=f"expected 'token' header (default {DEFAULT_TOKEN})")
    parser.add_argument("--db", help=DB_HELP + "; generated first if missing")
    parser.add_argument("--quiet", action="store_true", help="do not log each request")
    return parser


def _generate_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m norvix_devserver generate",
        description="Generate the service's synthetic market database (deterministic: the same data every time).")
    parser.add_argument("--db", help=DB_HELP)
    parser.add_argument("--force", action="store_true", help="generate again even if the database is up to date")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    return parser


def generate_main(argv: list[str]) -> int:
    args = _generate_parser().parse_args(argv)
    path = args.db or default_database_path()
    if not ensure_database(path, DEFAULT_PLAN, progress=not args.quiet, force=args.force):
        print(f"norvix_devserver: {path} is up to date", file=sys.stderr)
    return 0


def serve_main(argv: list[str]) -> int:
    args = _serve_parser().parse_args(argv)
    try:
        store = open_store(args.db)
    except StoreError as error:
        print(f"norvix_devserver: {error}", file=sys.stderr)
        return 1
    try:
        server = make_server(args.host, args.port, user=args.user, token=args.token, store=store, quiet=args.quiet)
    except OSError as error:
        print(f"norvix_devserver: cannot listen on {args.host}:{args.port}: {error}", file=sys.stderr)
        return 1

    # Stop cleanly on SIGTERM as on Ctrl-C.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(0))
    first, last = store.data_range()
    print(f"norvix_devserver listening on {server.url}", flush=True)
    print(f"norvix_devserver: data from {first} to {last} in {store.path}", file=sys.stderr, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] == "generate":
        return generate_main(argv[1:])
    if argv and argv[0] == "serve":
        argv = argv[1:]
    return serve_main(argv)


if __name__ == "__main__":
    sys.exit(main())
