"""What ends a run before it flies."""

EXIT_START_FAILED = 1
INTERRUPTED = 130


class RunError(Exception):
    """The run cannot start: the message, and the status to end with."""

    def __init__(self, message, status=EXIT_START_FAILED):
        super().__init__(message)
        self.status = status
