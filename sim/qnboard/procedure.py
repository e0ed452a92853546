"""Check procedures: one YAML file a procedure (procedures/*.yaml), checked against
procedures/schema.json before anything runs.

    proc = load("procedures/kd3555-acceptance.yaml")   # raises ProcedureError
    for step in proc.steps: step.kind, step.args, step.line

A bad file is refused with its line, its step and the reason:
    procedures/x.yaml:12: step 3 (check): 'is' or 'pulse_ms' is required
"""
import json
import pathlib
import re

import jsonschema
import yaml

SCHEMA_PATH = pathlib.Path(__file__).resolve().parents[2] / "procedures" / "schema.json"

# The step kinds, in the order the documentation lists them.
KINDS = ("start", "type", "check", "set", "press", "ddr", "power", "leave", "tell", "ask")
# What a step does to the board, through the board link where there is one; without a
# link (a real board) a check becomes a question and a set or press an instruction.
BOARD_KINDS = ("check", "set", "press", "ddr")


class ProcedureError(Exception):
    def __init__(self, path, line, step, kind, reason):
        self.path, self.line, self.step, self.kind, self.reason = path, line, step, kind, reason
        where = f"{path}:{line}" if line else str(path)
        if step:
            where += f": step {step}" + (f" ({kind})" if kind else "")
        super().__init__(f"{where}: {reason}")


class Step:
    def __init__(self, number, kind, args, line):
        self.number, self.kind, self.args, self.line = number, kind, args, line

    @property
    def name(self):
        return self.args.get("name") or f"{self.kind} {self.args[self.kind]}"

    def __repr__(self):
        return f"Step({self.number}, {self.kind!r}, {self.args!r})"


class Procedure:
    def __init__(self, path, doc, steps):
        self.path = path
        self.name = doc["procedure"]
        self.about = doc.get("about", "")
        self.models = list(doc["models"])
        self.steps = steps

    def applies_to(self, model):
        return model in self.models


class _Loader(yaml.SafeLoader):
    """YAML as a technician writes it: `is: on` and `answer: yes` stay words (YAML 1.1
    would make them booleans); true and false are still booleans."""


_Loader.yaml_implicit_resolvers = {
    k: [(tag, rx) for tag, rx in v if tag != "tag:yaml.org,2002:bool"]
    for k, v in yaml.SafeLoader.yaml_implicit_resolvers.copy().items()
}
_Loader.add_implicit_resolver("tag:yaml.org,2002:bool", re.compile(r"^(?:true|True|TRUE|false|False|FALSE)$"),
                              list("tTfF"))


def schema():
    with open(SCHEMA_PATH, encoding="utf-8") as f:
        return json.load(f)


def _line_of(node, path):
    """The 1-based line of the YAML node at path (keys and indexes), or of the deepest
    node found on the way."""
    for key in path:
        if isinstance(node, yaml.MappingNode):
            nxt = next((v for k, v in node.value if k.value == key), None)
        elif isinstance(node, yaml.SequenceNode) and isinstance(key, int) and key < len(node.value):
            nxt = node.value[key]
        else:
            nxt = None
        if nxt is None:
            break
        node = nxt
    return node.start_mark.line + 1


def _reason(err):
    """A jsonschema error in the words of a procedure file."""
    field = err.path[-1] if err.path and isinstance(err.path[-1], str) else None
    if err.validator == "additionalProperties":
        extra = sorted(set(err.instance) - set(err.schema.get("properties", {})))
        return f"unknown field {', '.join(repr(e) for e in extra)}"
    if err.validator == "required":
        return err.message.replace(" is a required property", " is required")
    if err.validator == "anyOf" and all("required" in s for s in err.validator_value):
        names = [s["required"][0] for s in err.validator_value]
        return " or ".join(repr(n) for n in names) + " is required"
    if err.validator == "enum":
        return f"{field or 'value'} must be one of {', '.join(map(str, err.validator_value))}, not {err.instance!r}"
    if err.validator == "const":
        return f"{field or 'value'} must be {err.validator_value!r}, not {err.instance!r}"
    if err.validator == "oneOf" and field == "press":
        return f"press must be a key code (0x12, or a number 0 to 255), not {err.instance!r}"
    if err.validator == "type":
        return f"{field or 'value'} must be {err.validator_value if isinstance(err.validator_value, str) else ' or '.join(err.validator_value)}, not {type(err.instance).__name__} {err.instance!r}"
    return (f"{field}: " if field else "") + err.message


def _first_error(validator, instance):
    errs = sorted(validator.iter_errors(instance), key=lambda e: (len(e.path), list(map(str, e.path))))
    return errs[0] if errs else None


def loads(text, path="<procedure>"):
    try:
        node = yaml.compose(text, Loader=_Loader)
        doc = yaml.load(text, Loader=_Loader)
    except yaml.YAMLError as e:
        mark = getattr(e, "problem_mark", None)
        raise ProcedureError(path, mark.line + 1 if mark else 0, 0, "", f"not YAML: {getattr(e, 'problem', e)}")
    if not isinstance(doc, dict):
        raise ProcedureError(path, 1, 0, "", "a procedure is a mapping with procedure, models and steps")
    sch = schema()
    top = dict(sch, properties=dict(sch["properties"]))
    err = _first_error(jsonschema.Draft202012Validator(top), doc)
    if err is not None:
        raise ProcedureError(path, _line_of(node, list(err.path)), 0, "", _reason(err))
    steps = []
    for i, raw in enumerate(doc["steps"]):
        line = _line_of(node, ["steps", i])
        kinds = [k for k in raw if k in KINDS]
        if len(kinds) != 1:
            unknown = [k for k in raw if k != "name" and k not in KINDS]
            reason = (f"unknown step {unknown[0]!r} (steps: {', '.join(KINDS)})" if not kinds and unknown
                      else "no step kind" if not kinds else f"one step a list item, not {' and '.join(kinds)}")
            raise ProcedureError(path, line, i + 1, "", reason)
        kind = kinds[0]
        v = jsonschema.Draft202012Validator(dict(sch["$defs"]["steps"][kind], **{"$defs": sch["$defs"]}))
        err = _first_error(v, raw)
        if err is not None:
            raise ProcedureError(path, _line_of(node, ["steps", i] + list(err.path)), i + 1, kind, _reason(err))
        for t in raw.get("expect", []) + raw.get("absent", []):
            if isinstance(t, dict):
                try:
                    re.compile(t["re"])
                except re.error as e:
                    raise ProcedureError(path, line, i + 1, kind, f"bad pattern {t['re']!r}: {e}")
        steps.append(Step(i + 1, kind, raw, line))
    return Procedure(path, doc, steps)


def load(path):
    path = pathlib.Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as e:
        raise ProcedureError(path, 0, 0, "", f"cannot read: {e}")
    return loads(text, path)
