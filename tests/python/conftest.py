import _tulm


def pytest_report_header():
    # Several builds of the module exist (installed, sanitized): say which one runs.
    return f"_tulm: {_tulm.__file__}"
