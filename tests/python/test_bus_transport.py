"""SocketCanTransport on a real CAN socket, and opening failures."""
import errno
import gc
import os

import pytest

import rotalink
from conftest import open_fds

pytestmark = pytest.mark.bus


@pytest.mark.parametrize("name", ["", "nonexistent0", "x" * 40])
def test_missing_interface_raises_oserror_with_os_text(name):
    with pytest.raises(IOError) as info:
        rotalink.SocketCanTransport(name)
    assert type(info.value) is OSError
    assert info.value.args == (f"{os.strerror(errno.ENODEV)} (os error {errno.ENODEV})",)


def test_name_with_nul_is_einval():
    with pytest.raises(OSError) as info:
        rotalink.SocketCanTransport(iface="vcan0\x00")
    assert info.value.args == (f"{os.strerror(errno.EINVAL)} (os error {errno.EINVAL})",)


def test_opens_and_uses_default_repr(can_iface):
    bus = rotalink.SocketCanTransport(can_iface)
    assert repr(bus).startswith("<rotalink.SocketCanTransport object at 0x")
    assert [n for n in dir(bus) if not n.startswith("_")] == []


def test_socket_closed_when_object_collected(can_iface):
    gc.collect()
    before = open_fds()
    for _ in range(10_000):
        rotalink.SocketCanTransport(can_iface)
    bus = rotalink.SocketCanTransport(can_iface)
    assert open_fds() == before + 1
    del bus
    assert open_fds() == before


def _sockets():
    out = set()
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{name}").startswith("socket:"):
                out.add(int(name))
        except OSError:  # the listing's own descriptor, gone by now
            pass
    return out


def test_socket_is_blocking_and_inheritable(can_iface):
    # Opened with no extra type flags: no close-on-exec, no O_NONBLOCK.
    before = _sockets()
    bus = rotalink.SocketCanTransport(can_iface)
    (fd,) = _sockets() - before
    assert os.get_inheritable(fd)
    assert os.get_blocking(fd)
    del bus
    assert fd not in _sockets()
