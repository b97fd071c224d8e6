"""The kelvex ground station: log receiver, photo upload server and live web page."""

__version__ = "1.0.0"
