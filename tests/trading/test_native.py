"""Native: the wrapper around zqkit._ctp, with a scripted stand-in for the binding."""

import builtins
import importlib.abc
import os
import pathlib
import sys
import types

import pytest

import zqkit
import zqkit.trading as trading
from zqkit.data import ZqError
from zqkit.livebook import CtpAccount
from zqkit.trading import Native

UNAVAILABLE = "CTP 原生模块不可用，请安装适用于当前 64 位平台的 zqkit wheel"
CONFIG = CtpAccount(
    broker_id="9999",
    user_id="000001",
    password="pw",
    front_url="tcp://127.0.0.1:41205",
    app_id="app",
    auth_code="code",
)


class FakeBinding(types.ModuleType):
    """Records every call; answers with fixed objects so pass-through is checked by identity."""

    def __init__(self):
        super().__init__("zqkit._ctp")
        self.calls = []
        self.handle = object()
        self.request_result = 0
        self.events = [{"name": "FrontConnected"}]

    def create(self, front_url, path):
        self.calls.append(("create", front_url, path))
        return self.handle

    def request(self, handle, method, data, request_id):
        self.calls.append(("request", handle, method, data, request_id))
        return self.request_result

    def poll(self, handle):
        self.calls.append(("poll", handle))
        return self.events

    def close(self, handle):
        self.calls.append(("close", handle))
        return "ignored"


@pytest.fixture
def binding(monkeypatch):
    fake = FakeBinding()
    monkeypatch.setitem(sys.modules, "zqkit._ctp", fake)
    monkeypatch.setattr(zqkit, "_ctp", fake, raising=False)
    return fake


@pytest.fixture
def no_binding(monkeypatch):
    """Forget any loaded zqkit._ctp so that the next import really runs."""
    monkeypatch.delitem(sys.modules, "zqkit._ctp", raising=False)
    monkeypatch.delattr(zqkit, "_ctp", raising=False)
    return monkeypatch


class RefusingFinder(importlib.abc.MetaPathFinder):
    def __init__(self, error):
        self.error = error

    def find_spec(self, name, path=None, target=None):
        if name == "zqkit._ctp":
            raise self.error
        return None


class TestConstruction:
    def test_plain_class_with_visible_attributes(self, binding):
        native = Native(CONFIG, "/tmp/flow")
        assert Native.__bases__ == (object,)
        assert native.module is binding
        assert native.handle is binding.handle
        assert vars(native) == {"module": binding, "handle": binding.handle}

    @pytest.mark.parametrize(
        ("directory", "path"),
        [
            ("/tmp/x", b"/tmp/x" + os.sep.encode()),
            ("/tmp/x/", b"/tmp/x/" + os.sep.encode()),
            (pathlib.PurePosixPath("/tmp/y"), b"/tmp/y" + os.sep.encode()),
        ],
    )
    def test_flow_path_gets_a_separator_appended(self, binding, directory, path):
        Native(config=CONFIG, directory=directory)
        assert binding.calls == [("create", "tcp://127.0.0.1:41205", path)]

    @pytest.mark.skipif(os.name == "nt", reason="file-system encoding of POSIX systems")
    def test_flow_path_uses_the_file_system_encoding(self, binding):
        directory = "/tmp/期货-\udcff"
        Native(CONFIG, directory)
        assert binding.calls[0][2] == os.fsencode(directory + os.sep)

    @pytest.mark.skipif(os.name == "nt", reason="the ANSI code page exists only on Windows")
    def test_windows_branch_encodes_with_the_ansi_code_page(self, binding, monkeypatch):
        fake_os = types.SimpleNamespace(sep="\\", name="nt", fsencode=os.fsencode)
        monkeypatch.setattr(trading, "os", fake_os)
        with pytest.raises(LookupError, match="mbcs"):
            Native(CONFIG, "C:\\flow")
        assert binding.calls == []

    def test_create_failure_propagates_without_a_handle(self, binding, monkeypatch):
        def create(front_url, path):
            raise OSError("front refused")

        monkeypatch.setattr(binding, "create", create)
        native = object.__new__(Native)
        with pytest.raises(OSError, match="front refused"):
            native.__init__(CONFIG, "/tmp/flow")
        assert vars(native) == {"module": binding}


class TestMissingBinding:
    def test_blocked_module_becomes_zq_error_with_import_error_cause(self, no_binding):
        no_binding.setitem(sys.modules, "zqkit._ctp", None)
        with pytest.raises(ZqError) as caught:
            Native(CONFIG, "/tmp/flow")
        error = caught.value
        assert str(error) == UNAVAILABLE
        assert error.status is None
        assert isinstance(error.__cause__, ImportError)
        assert error.__suppress_context__

    def test_loader_failure_is_translated_and_keeps_the_original(self, no_binding):
        refusal = ImportError("wrong platform for the CTP library")
        no_binding.setattr(sys, "meta_path", [RefusingFinder(refusal), *sys.meta_path])
        with pytest.raises(ZqError) as caught:
            Native(CONFIG, "/tmp/flow")
        assert caught.value.__cause__ is refusal
        assert caught.value.__context__ is refusal

    def test_absent_module_is_reported_like_a_failed_from_import(self, no_binding):
        # The import machinery ignores a missing submodule named in a from-import; the name
        # lookup afterwards is what fails.
        absent = ModuleNotFoundError("No module named 'zqkit._ctp'", name="zqkit._ctp")
        no_binding.setattr(sys, "meta_path", [RefusingFinder(absent), *sys.meta_path])
        with pytest.raises(ZqError) as caught:
            Native(CONFIG, "/tmp/flow")
        cause = caught.value.__cause__
        assert type(cause) is ImportError
        assert str(cause).startswith("cannot import name '_ctp' from 'zqkit'")

    def test_import_runs_before_the_directory_is_read(self, no_binding):
        class Directory:
            def __str__(self):
                raise AssertionError("directory read before the binding was imported")

        no_binding.setitem(sys.modules, "zqkit._ctp", None)
        with pytest.raises(ZqError, match=UNAVAILABLE):
            Native(CONFIG, Directory())

    def test_replaced_import_function_is_honoured(self, no_binding):
        # Tools and tests hook builtins.__import__; the from-import must go through it.
        real_import = builtins.__import__
        refusal = ImportError("blocked")
        seen = []

        def hooked(name, globals=None, locals=None, fromlist=(), level=0):
            if fromlist and "_ctp" in fromlist:
                seen.append((name, globals["__name__"], locals, tuple(fromlist), level))
                raise refusal
            return real_import(name, globals, locals, fromlist, level)

        no_binding.setattr(builtins, "__import__", hooked)
        with pytest.raises(ZqError) as caught:
            Native(CONFIG, "/tmp/flow")
        assert caught.value.__cause__ is refusal
        assert seen == [("", "zqkit.trading", None, ("_ctp",), 1)]

    def test_other_import_failures_are_not_translated(self, no_binding):
        no_binding.setattr(sys, "meta_path", [RefusingFinder(RuntimeError("boom")), *sys.meta_path])
        with pytest.raises(RuntimeError, match="boom"):
            Native(CONFIG, "/tmp/flow")

    def test_error_class_is_read_at_call_time(self, no_binding):
        class Replacement(Exception):
            pass

        no_binding.setitem(sys.modules, "zqkit._ctp", None)
        no_binding.setattr(trading, "ZqError", Replacement)
        with pytest.raises(Replacement, match=UNAVAILABLE):
            Native(CONFIG, "/tmp/flow")


class TestPassThrough:
    def test_request_poll_close(self, binding):
        native = Native(CONFIG, "/tmp/flow")
        data = {"BrokerID": "9999"}
        binding.request_result = -2
        assert native.request("UserLogin", data, 7) == -2
        assert native.poll() is binding.events
        assert native.close() is None
        assert native.handle is binding.handle
        assert binding.calls[1:] == [
            ("request", binding.handle, "UserLogin", data, 7),
            ("poll", binding.handle),
            ("close", binding.handle),
        ]
        assert binding.calls[1][3] is data

    def test_attributes_are_reassignable(self, binding):
        native = Native(CONFIG, "/tmp/flow")
        other = FakeBinding()
        native.module = other
        native.handle = "replacement"
        native.request(method="OrderInsert", data={}, request_id=1)
        native.poll()
        assert other.calls == [
            ("request", "replacement", "OrderInsert", {}, 1),
            ("poll", "replacement"),
        ]

    def test_binding_errors_propagate(self, binding, monkeypatch):
        def poll(handle):
            raise BufferError("queue overflow")

        monkeypatch.setattr(binding, "poll", poll)
        with pytest.raises(BufferError, match="queue overflow"):
            Native(CONFIG, "/tmp/flow").poll()
