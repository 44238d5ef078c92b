"""The kit's logger factory.

Every module of the kit logs through a standard-library logger named "kestrix_sdk.<name>", so an
application configures the whole kit through ``logging.getLogger("kestrix_sdk")``. With nothing
configured, warnings and errors still reach standard error (the standard library's last-resort
handler); info lines appear once the application sets a level and a handler.
"""

from kestrix_sdk.logging.logger import ROOT_LOGGER_NAME, get_logger

__all__ = ["ROOT_LOGGER_NAME", "get_logger"]
