"""Helpers of the hardening tests: misbehaving local servers and the table of queries."""
