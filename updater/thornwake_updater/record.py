"""Plain value types, without the start-up cost of dataclasses (which brings in inspect, ast and dis)."""


class Record:
    """Equal to another of its class with the same attributes, and shown with them (its raw bytes left out)."""

    __hash__ = None

    def __eq__(self, other):
        return type(other) is type(self) and vars(other) == vars(self)

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, ", ".join("%s=%r" % item for item in vars(self).items() if item[0] != "raw"))
