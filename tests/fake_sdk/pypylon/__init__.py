"""Scriptable stand-in for the Basler camera SDK binding, used by the test suite.

Only ``pypylon.pylon`` exists; see README.md next to this file for how a test
script describes the cameras it wants before importing the module under test.
"""
