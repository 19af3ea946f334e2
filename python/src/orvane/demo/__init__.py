"""orvane-demo (python -m orvane.demo): the main job of OrvaneHardwareAPI, end to end.

Starts a simulated arm (or uses --port for a real one), wakes it and prints its identity,
runs a haptic loop that renders a virtual wall as a spring force, shows the loop rate and
exchange times live, sums them up, plots position and force over time (with matplotlib),
then starts a simulated handle and prints a few of its orientations.

The haptic loop runs on the native servo loop of orvane.haptics (the wall is one of its
effects, the hand's push the commanded force); --python-loop runs it in Python instead,
one end_effector_force call per cycle.
"""
from orvane.demo.cli import main

__all__ = ["main"]
