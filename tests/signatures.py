"""Generated docstrings without their types: how the binding layer renders a type (list[float]
or a Sequence of SupportsFloat) follows its series, while names, defaults, overload order and
texts must not change. Compare `untyped(doc)` with `untyped(expected)`."""
import re

_SIGNATURE = re.compile(r"^(\d+\. )?(\w+)\((.*)\)( -> .*)?$")
_OPEN, _CLOSE = "[(<{", "])>}"


def _top_level_split(text):
    parts, depth, start = [], 0, 0
    for i, c in enumerate(text):
        depth += (c in _OPEN) - (c in _CLOSE)
        if c == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    parts.append(text[start:].strip())
    return [p for p in parts if p]


def _untyped_parameter(parameter):
    name, _, rest = parameter.partition(": ")
    _, equals, default = rest.partition(" = ")
    return f"{name} = {default}" if equals else name


def untyped(doc):
    lines = []
    for line in doc.split("\n"):
        match = _SIGNATURE.match(line)
        if match:
            number, name, parameters = match.group(1) or "", match.group(2), match.group(3)
            parameters = ", ".join(map(_untyped_parameter, _top_level_split(parameters)))
            line = f"{number}{name}({parameters})"
        lines.append(line)
    return "\n".join(lines)
