"""A stand-in for the requests package, bound as the module global `requests` by tests
that only need a decoded answer, not an HTTP exchange."""

import requests


class DecodedResponse:
    status_code = 200

    def __init__(self, value):
        self.value = value

    def raise_for_status(self):
        pass

    def json(self):
        return self.value


class StandInRequests:
    """Answers every get/post with `body` (already decoded) and records the calls."""

    exceptions = requests.exceptions

    def __init__(self, body=None):
        self.body = body
        self.calls = []

    def get(self, *args, **kwargs):
        self.calls.append(("get", args, kwargs))
        return DecodedResponse(self.body)

    def post(self, *args, **kwargs):
        self.calls.append(("post", args, kwargs))
        return DecodedResponse(self.body)
