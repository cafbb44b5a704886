import os
import pathlib

import packweaver


def pytest_report_header(config):
    return f"packweaver from {packweaver.__file__}"


expected = os.environ.get("PACKWEAVER_EXPECT_BUILD")
if expected is not None:
    # The sanitizer run must test the instrumented build, not an installed one.
    assert pathlib.Path(packweaver.__file__).parent.resolve() == pathlib.Path(expected).resolve(), packweaver.__file__


# Timing depends on the machine (and is far slower under the sanitizers):
# no per-example deadline, and no health check about slow generation.
from hypothesis import HealthCheck, settings  # noqa: E402

settings.register_profile(
    "packweaver",
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.load_profile("packweaver")
