"""The bytes of one answer, fetched as the core's request routine fetches them (the same
request tables, headers and time-out, from vnpy_norvix._wire), with its failures worded as
the record path words them.

This is the one function the frames take their bytes from: it moves onto the plug-in's
engine by changing `fetch_body` alone."""

from __future__ import annotations

from dataclasses import dataclass

import requests
from urllib3.exceptions import DecodeError, ProtocolError, ReadTimeoutError, SSLError

from .. import _wire, messages


@dataclass
class Body:
    """The answer's bytes, or why there are none."""

    content: bytes = b""
    failure: str | None = None


def fetch_body(base_url: str, username: str, password: str, kind: str, symbol: str, first: str | None = None,
               last: str | None = None) -> Body:
    method, endpoint, members = _wire.request(kind, symbol, first, last)
    headers = _wire.headers(username, password)
    url = base_url + endpoint

    def masked(text: str) -> str:
        return _wire.mask(text, password)

    try:
        # Streamed, so that the body is read in one piece rather than joined from the
        # small chunks `response.content` reads (a third of the time of a 10 MB answer).
        if method == "GET":
            response = requests.get(url=url, params=members, headers=headers, timeout=_wire.TIMEOUT, stream=True)
        else:
            response = requests.post(url=url, json=members, headers=headers, timeout=_wire.TIMEOUT, stream=True)
        with response:
            response.raise_for_status()
            return Body(content=_read(response))
    except requests.exceptions.Timeout:
        return Body(failure=messages.timed_out(base_url, f"{_wire.TIMEOUT}秒"))
    except requests.exceptions.ConnectionError:
        return Body(failure=messages.unreachable(base_url))
    except requests.exceptions.HTTPError as error:
        answer = error.response
        status = "" if answer is None else str(answer.status_code)
        return Body(failure=messages.http_error(status, "" if answer is None else masked(answer.text)))
    except Exception as error:  # what the core words as an unknown error (a body cut short, ...)
        return Body(failure=messages.request_error(masked(str(error))))


def _read(response: requests.Response) -> bytes:
    """response.content, in one read; a broken body raises what `content` raises
    (requests' own mapping of urllib3's errors)."""
    try:
        return bytes(response.raw.read(decode_content=True))
    except ProtocolError as error:
        raise requests.exceptions.ChunkedEncodingError(error) from error
    except ReadTimeoutError as error:
        raise requests.exceptions.ConnectionError(error) from error
    except DecodeError as error:
        raise requests.exceptions.ContentDecodingError(error) from error
    except SSLError as error:
        raise requests.exceptions.SSLError(error) from error
