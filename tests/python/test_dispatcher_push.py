"""The producer entries of AsyncDispatcher and SyncDispatcher: what each
push stores and which pushes send a wake datagram."""

import socket

import pytest

from corvane_layout import field, view
from vestrel.utils.corvane.corvane import AsyncDispatcher, SyncDispatcher
from wake_helpers import NO_SOCKET, Watcher, aim, push_entry, wake_address

CLASSES = [AsyncDispatcher, SyncDispatcher]


@pytest.fixture
def watcher():
    w = Watcher()
    yield w
    w.close()


@pytest.fixture
def wired(watcher):
    """Makes dispatchers whose wake target is the watcher, sent from a
    socket of ours; the target is cleared before the sockets close."""
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    made = []

    def make(cls, *args, **kwargs):
        d = cls(print, *args, **kwargs)
        aim(d, sender.fileno(), watcher.address)
        made.append(d)
        return d

    yield make
    for d in made:
        view(d)._fd = NO_SOCKET
    sender.close()


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("entry", ["push", "push_var"])
def test_each_stored_message_sends_one_wake_byte(cls, entry, wired, watcher):
    d = wired(cls, 16, 64)
    push = push_entry(d, entry)
    messages = [b"", b"x", b"y" * 64]
    for m in messages:
        push(m)
    got = watcher.receive(len(messages))
    assert [payload for payload, _ in got] == [b"\x01"] * len(messages)
    assert len(field(d, "_q")) == len(messages)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("entry, refused", [
    ("push", b"z" * 9),        # longer than a slot
    ("push_var", b"z" * 200),  # longer than the largest record
])
def test_refused_message_sends_nothing(cls, entry, refused, wired, watcher):
    d = wired(cls, 2, 8)
    push = push_entry(d, entry)
    push(refused)
    push(b"a")
    push(b"b")
    push(b"c")  # the ring is full
    assert len(watcher.receive(2)) == 2
    assert len(field(d, "_q")) == 2


@pytest.mark.parametrize("cls", CLASSES)
def test_message_of_the_other_format_sends_nothing(cls, wired, watcher):
    d = wired(cls, 4, 8)
    push_entry(d, "push")(b"fixed")
    push_entry(d, "push_var")(b"var")
    assert len(watcher.receive(1)) == 1
    assert len(field(d, "_q")) == 1


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("entry", ["push", "push_var"])
def test_push_without_wake_target_only_stores(cls, entry):
    d = cls(print, 4, 8)
    assert view(d)._fd == NO_SOCKET
    push_entry(d, entry)(b"kept")
    q = field(d, "_q")
    assert (q.try_take() if entry == "push" else q.try_take_var()) == b"kept"


class Quiet(SyncDispatcher):
    """A SyncDispatcher whose reader returns at once, leaving its socket to us."""

    def _try_pop(self):
        pass

    def _try_pop_var(self):
        pass


def test_sync_wake_comes_from_its_own_bound_socket(watcher):
    d = Quiet(print)
    d.setup()
    bound = wake_address(d)
    assert bound[0] == "127.0.0.1" and bound[1] != 0
    # Wakes go out on the socket's connection to its own address.
    sock = field(d, "_sock")
    assert sock.getpeername() == bound
    aim(d, view(d)._fd, watcher.address)
    sock.connect(watcher.address)
    push_entry(d, "push")(b"m")
    (payload, source), = watcher.receive(1)
    assert (payload, source) == (b"\x01", bound)
    d.close()
    (payload, source), = watcher.receive(1)
    assert (payload, source) == (b"\x01", bound)
    # After close, pushes only store and close sends nothing more.
    push_entry(d, "push")(b"late")
    d.close()
    watcher.receive(0)
    assert len(field(d, "_q")) == 2
