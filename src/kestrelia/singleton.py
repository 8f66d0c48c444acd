"""Host stand-in: the host toolkit's registry of the process-wide data-service client.

The host registers its client once with ``set_instance``; the native ``_prepare`` module
fetches it with ``get_instance()`` for every read, so a client can be swapped at any time.
In this package ``Store.build`` and ``Store.update`` register a ``LocalFactorService`` for
the length of one build.
"""

from __future__ import annotations

import threading
from typing import Any

_lock = threading.Lock()
_instance: Any = None


def get_instance() -> Any:
    """Return the registered data-service client."""
    with _lock:
        client = _instance
    if client is None:
        raise RuntimeError(
            "No data-service client is registered. Register one first, for example "
            "kestrelia.singleton.set_instance(kestrelia.dataservice.LocalFactorService(folder))."
        )
    return client


def set_instance(client: Any) -> Any:
    """Register ``client`` as the data-service client; return the previous one (or None)."""
    global _instance
    with _lock:
        previous, _instance = _instance, client
    return previous
