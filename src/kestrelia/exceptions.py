"""Exceptions shared by the toolkit's services."""


class NetworkError(Exception):
    """The data service could not be reached or did not answer a request."""
