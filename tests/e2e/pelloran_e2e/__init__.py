"""The helpers of the end-to-end tests: the real programs, driven from outside.

The tests run with tests/e2e on PYTHONPATH (the test runner sets it), so that they and
these helpers import each other by name: `from pelloran_e2e import driver`.
"""
