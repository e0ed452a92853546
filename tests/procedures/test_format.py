"""The procedure format: good files load with their steps, bad ones are refused with the
line, the step and the reason; the documentation's reference table follows the schema."""
import pathlib
import re
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "sim"))
from qnboard import procedure  # noqa: E402

HEAD = "procedure: p\nmodels: [KD3555]\nsteps:\n"


def test_every_step_kind_loads_with_its_line():
    text = HEAD + """\
  - start: qn_shell
  - type: mbinfo
    expect: [KD3555, {re: "0x20D9700[0-9A-F]"}]
    absent: [error]
    timeout: 5
  - check: RecLED
    is: on
  - check: hubreset
    pulse_ms: 100
  - set: WIFI_EXIST
    level: low
  - press: 0x12
    framing: escaped
  - ddr: 256
  - power: cycle
  - leave: q
  - tell: Plug the camera in.
  - ask: Does the buzzer sound?
    answer: no
    name: buzzer heard
"""
    p = procedure.loads(text)
    assert [s.kind for s in p.steps] == ["start", "type", "check", "check", "set", "press", "ddr",
                                        "power", "leave", "tell", "ask"]
    assert [s.line for s in p.steps] == [4, 5, 9, 11, 13, 15, 17, 18, 19, 20, 21]
    assert p.steps[2].args["is"] == "on"          # a word, not YAML 1.1's True
    assert p.steps[5].args["press"] == 0x12
    assert p.steps[10].args["answer"] == "no"
    assert p.steps[10].name == "buzzer heard"
    assert p.applies_to("KD3555") and not p.applies_to("KD3454")


BAD = [
    # (text after HEAD or a whole file, line, step, kind, reason)
    ("  - start: qn_shell\n  - blink: RecLED\n", 5, 2, "", "unknown step 'blink'"),
    ("  - check: RecLED\n", 4, 1, "check", "'is' or 'pulse_ms' is required"),
    ("  - check: RecLED\n    is: lit\n", 5, 1, "check", "is must be one of on, off, high, low, not 'lit'"),
    ("  - type: mbinfo\n    expect: KD3555\n", 5, 1, "type", "expect must be array, not str 'KD3555'"),
    ("  - type: mbinfo\n    expect: [{re: '('}]\n", 4, 1, "type", "bad pattern '('"),
    ("  - ddr: big\n", 4, 1, "ddr", "ddr must be integer, not str 'big'"),
    ("  - set: WIFI_EXIST\n", 4, 1, "set", "'level' is required"),
    ("  - press: '12'\n", 4, 1, "press", "press must be a key code"),
    ("  - press: 300\n", 4, 1, "press", "press must be a key code"),
    ("  - power: off\n", 4, 1, "power", "power must be 'cycle', not 'off'"),
    ("  - tell: hi\n    colour: red\n", 4, 1, "tell", "unknown field 'colour'"),
    ("  - tell: hi\n    ask: why?\n", 4, 1, "", "one step a list item, not tell and ask"),
    ("procedure: p\nmodels: [KD9999]\nsteps: [{tell: hi}]\n", 2, 0, "", "must be one of KD3151"),
    ("procedure: p\nsteps: [{tell: hi}]\n", 1, 0, "", "'models' is required"),
    ("procedure: p\nmodels: [KD3555]\nsteps: [{tell: hi}]\nowner: me\n", 1, 0, "", "unknown field 'owner'"),
    ("procedure: p\nmodels: [KD3555\n", 3, 0, "", "not YAML"),
    ("- just a list\n", 1, 0, "", "a procedure is a mapping"),
]


@pytest.mark.parametrize("text, line, step, kind, reason", BAD,
                         ids=[b[4].split("'")[1] if "'" in b[4] else b[4] for b in BAD])
def test_a_bad_file_is_refused_with_line_step_and_reason(text, line, step, kind, reason):
    whole = text if text.startswith(("procedure", "- ")) else HEAD + text
    with pytest.raises(procedure.ProcedureError) as e:
        procedure.loads(whole, "x.yaml")
    err = e.value
    assert (err.line, err.step, err.kind) == (line, step, kind), str(err)
    assert reason in err.reason
    assert str(err).startswith(f"x.yaml:{line}:")


def test_the_reference_table_follows_the_schema():
    doc = (REPO / "docs/procedures.md").read_text()
    table = doc.split("## Reference", 1)[1]
    rows = set()
    for m in re.finditer(r"^\| (\w+) \| (\w+) \|\s*(yes)?\s*\| (.+?) \|$", table, re.M):
        rows.add((m.group(1), m.group(2), m.group(3) == "yes", m.group(4)))
    want = set()
    for kind, s in procedure.schema()["$defs"]["steps"].items():
        for field, prop in s["properties"].items():
            if field != "name":
                want.add((kind, field, field in s.get("required", []), prop["description"]))
    assert rows == want
    assert list(procedure.schema()["$defs"]["steps"]) == list(procedure.KINDS)
    for kind in procedure.KINDS:     # each kind has its own section with an example
        assert re.search(rf"^### {kind}: .*\n\n```yaml\n- {kind}: ", doc, re.M), kind


def test_the_shipped_procedures_load():
    files = sorted((REPO / "procedures").glob("*.yaml"))
    for f in files:
        procedure.load(f)
