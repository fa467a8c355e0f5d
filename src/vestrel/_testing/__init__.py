"""Native producer threads for the tests, the demo and the benchmarks.

`_testing.cpp` is also the worked example for authors of producer modules: it
reaches the dispatchers only through the public headers.
"""

from vestrel._testing._testing import (
    Producer,
    decode,
    encode,
    message_length,
    now_ns,
    ring_of,
    start,
)

__all__ = ["Producer", "decode", "encode", "message_length", "now_ns", "ring_of", "start"]
