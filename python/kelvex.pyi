"""Types of the kelvex wrapper: the functions of _kelvex (see there), the
Global class over the configuration record, and cvar, whose G reads as a
Global here."""

from _kelvex import *
from _kelvex import SwigPyObject, _Text, swigvarlink

class Global:
    """A configuration record; Global() makes a zero-filled one that the
    object owns. Its fields read and write the record."""

    this: SwigPyObject
    thisown: bool
    fd: int
    retries: int
    timeout: int
    baud: int
    flow_type: int
    charge: float
    current: float
    fRaspberryConsumption: float
    buzz_port: int
    @property
    def buzz_server(self) -> str | None: ...
    @buzz_server.setter
    def buzz_server(self, value: _Text | None) -> None: ...
    def __init__(self) -> None: ...

cvar: swigvarlink[Global]
