"""Shared fixtures for the Python tests."""

from service import service, service_process  # noqa: F401 - fixtures for the client tests
