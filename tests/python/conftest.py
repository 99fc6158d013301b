import os

from hypothesis import HealthCheck, settings

import _tulm

# Example counts for the hypothesis tests: "quick" in make test, "thorough" in
# make sanitize (TULM_HYPOTHESIS_PROFILE). No deadline: the sanitized build is
# several times slower.
for _name, _examples in (("quick", 30), ("thorough", 150)):
    settings.register_profile(
        _name,
        max_examples=_examples,
        deadline=None,
        suppress_health_check=[
            HealthCheck.too_slow,
            HealthCheck.data_too_large,
            HealthCheck.filter_too_much,
        ],
    )
settings.load_profile(os.environ.get("TULM_HYPOTHESIS_PROFILE", "quick"))


def pytest_report_header():
    # Several builds of the module exist (installed, sanitized): say which one runs.
    return f"_tulm: {_tulm.__file__}"
