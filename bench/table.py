"""Markdown tables of benchmark rows: a figure that was not measured prints as n/a, never as 0
or nan."""


def cell(value, form=".1f"):
    return "n/a" if value is None else format(value, form)


def ratio(mine, peers):
    """mine / peers, or None when either is missing or the peer's is 0."""
    return None if mine is None or not peers else mine / peers


def print_table(header, rows):
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for row in rows:
        print("| " + " | ".join(row) + " |")
