"""Native force rendering for the Varnix3 arm and a background listener for the Handle."""
from orvane._haptics import *  # noqa: F401,F403
