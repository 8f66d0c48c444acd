"""Host stand-in: the host toolkit's shared exceptions module, as the native modules use it.

``_prepare`` imports ``NetworkError`` from here by name and treats it as a failed read of
the data service (a factor whose request fails with it is skipped, not fatal); a
data-service client raises it. This is not where the package's own errors live: the public
layer raises ``InputError``, ``StoreError`` and the rest of ``kestrelia.errors``.
"""


class NetworkError(Exception):
    """The data service could not be reached or did not answer a request."""
