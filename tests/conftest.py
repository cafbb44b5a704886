import os
import pathlib

import packweaver


def pytest_report_header(config):
    return f"packweaver from {packweaver.__file__}"


expected = os.environ.get("PACKWEAVER_EXPECT_BUILD")
if expected is not None:
    # The sanitizer run must test the instrumented build, not an installed one.
    assert pathlib.Path(packweaver.__file__).parent.resolve() == pathlib.Path(expected).resolve(), packweaver.__file__
