"""The engine's own notices stay out of a learner's console.

Loaded when the kit is imported, before any window exists: the engine's
informational lines ("Known pipe types"), the input-device and audio
errors of a machine without /dev/input or a sound card, and the task
runner's "Exception occurred" line (the error itself is still printed) are
not shown. Setting TAVIK_VERBOSE shows everything, as the engine would.
"""
import os
import sys

VERBOSE_VARIABLE = "TAVIK_VERBOSE"

SETTINGS = [
    "notify-level warning",
    "print-pipe-types #f",
    "notify-level-display error",
    "notify-level-device fatal",
    "notify-level-audio fatal",
    "notify-level-task fatal",
]


def has_sound_card():
    """False on Linux without any sound device, where the audio library would only print its failures."""
    if not sys.platform.startswith("linux"):
        return True
    try:
        return any(name.startswith("pcm") for name in os.listdir("/dev/snd"))
    except OSError:
        return False


def install():
    if os.environ.get(VERBOSE_VARIABLE):
        return
    try:
        from panda3d.core import loadPrcFileData
    except ImportError:     # the kit's own import says what is missing
        return
    settings = list(SETTINGS)
    if not has_sound_card():
        # The engine falls back to silence here anyway, after forty lines of complaints.
        settings.append("audio-library-name null")
    os.environ.setdefault("ALSOFT_LOGLEVEL", "0")
    loadPrcFileData("tavik-quiet", "\n".join(settings))
