"""Fixtures for driving the simulated CTP counter directly through `zqkit._ctp`."""

from __future__ import annotations

import os

import pytest
from ctp_helpers import FRONT, Client, settings

from zqkit import _ctp


@pytest.fixture
def flow_path(tmp_path) -> bytes:
    return os.fsencode(str(tmp_path) + os.sep)


@pytest.fixture
def front():
    _ctp.reset()
    _ctp.configure_front(FRONT, settings())
    yield FRONT
    _ctp.reset()


@pytest.fixture
def client(front, flow_path):
    connection = Client(flow_path)
    yield connection
    if "closed" not in repr(connection.handle):
        connection.close()


@pytest.fixture
def session(client):
    """A client that has authenticated, logged in and confirmed the settlement."""
    client.login()
    return client
