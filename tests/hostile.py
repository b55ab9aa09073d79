"""Helper objects that misbehave during conversion, shared by hostile-input tests."""


class IntHook:
    """Converts through __int__, returning (or raising) whatever it was given."""

    def __init__(self, value, action=None):
        self.value = value
        self.action = action

    def __int__(self):
        if self.action is not None:
            self.action()
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Boom(Exception):
    pass


def raising_midway(items, at):
    for i, item in enumerate(items):
        if i == at:
            raise Boom("raised midway")
        yield item
