"""The package version, read from the installed distribution's metadata."""

from importlib import metadata

try:
    __version__ = metadata.version("kestrelia")
except metadata.PackageNotFoundError:  # running from a source tree that was never installed
    __version__ = "0+unknown"
