"""The capability report of the machine the tour runs on."""

from korvane._tour import heading, show
from korvane.native.host_probe import detect_capabilities


def run() -> None:
    heading("host probe: capabilities of this machine")
    report = detect_capabilities()
    for key, value in report.items():
        if key == "detection_time_ms":
            value = f"{value:.2f}"
        show(key, value)
