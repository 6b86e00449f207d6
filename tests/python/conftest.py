"""Markers used by the suites, registered so that -m selections and --strict-markers work."""


def pytest_configure(config):
    config.addinivalue_line("markers", "deep: million-node graphs; slow, deselect with -m 'not deep'")
    # pytest-run-parallel registers this one; repeated here for runs without the plugin.
    config.addinivalue_line("markers", "thread_unsafe: must not run in several threads at once")
