"""get_logger(name): the standard-library logger "kestrix_sdk.<name>"."""

import logging as _logging

ROOT_LOGGER_NAME = "kestrix_sdk"


def get_logger(name: str) -> _logging.Logger:
    """Return the logger named "kestrix_sdk." + name (the same object for the same name)."""
    return _logging.getLogger(ROOT_LOGGER_NAME + "." + name)
