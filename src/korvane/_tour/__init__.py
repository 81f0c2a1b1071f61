"""Sections of ``python -m korvane``, one module each, and their printing helpers."""


def heading(title: str) -> None:
    print()
    print(f"== {title} ==")


def show(label: str, value: object) -> None:
    print(f"  {label:<34} {value}")
