#!/usr/bin/python3
"""Renders the acceptance job (acceptance.yaml.jinja2) for one board model, or the health
check of a device type (health.yaml.jinja2).

  render.py --model KD3555 [--board-tag kd3454] [--device-type qn-board]
  render.py --health-check [--device-type qn-board]
            [--images URL] [--character-delay MS] [--prompt REGEX]

The expected texts come from models.yaml. --board-tag asks for a board of another model
than the texts (the lab's must-fail check); --character-delay overrides the device's
per-character delay of the test phase (0: none, another must-fail check). --images is the
image server, by default the lab's (image_port of lab/site.yaml).
"""
import argparse
import json
import os
import re
import sys

import jinja2
import yaml

HERE = os.path.dirname(os.path.abspath(__file__))


def rx(text, fill=None):
    """A console text as a regular expression: ASCII runs literally, each run of other
    characters (GBK on the console, read by LAVA as UTF-8) as any characters of the line,
    %x / %d replaced by fill."""
    if fill is not None:
        text = text.replace("%x", format(fill, "x")).replace("%d", str(fill))
    out = []
    for run in re.findall(r"[\x00-\x7f]+|[^\x00-\x7f]+", text):
        out.append(re.escape(run) if run.isascii() else "[^\\n]*?")
    return "".join(out)


def lines(texts):
    """Consecutive console lines (the console turns each newline into CR LF)."""
    return "\\r*\\n".join(texts)


def yq(value):
    """A YAML scalar that holds value exactly (a JSON string is a YAML string)."""
    return json.dumps(value)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--model")
    ap.add_argument("--health-check", action="store_true")
    ap.add_argument("--shell", default="qn_shell", help="the command that starts the shell")
    ap.add_argument("--board-tag", default=None)
    ap.add_argument("--device-type", default="qn-vboard", choices=["qn-vboard", "qn-board"])
    with open(os.path.join(HERE, "..", "site.yaml"), encoding="utf-8") as f:
        images = "http://127.0.0.1:%d" % yaml.safe_load(f)["image_port"]
    ap.add_argument("--images", default=images)
    ap.add_argument("--character-delay", type=int, default=None)
    ap.add_argument("--prompt", default=None)
    ap.add_argument("--name", default=None)
    ap.add_argument("--test-timeout", type=int, default=240, help="seconds of the test actions")
    a = ap.parse_args()
    with open(os.path.join(HERE, "models.yaml"), encoding="utf-8") as f:
        models = yaml.safe_load(f)
    if a.health_check == bool(a.model):
        ap.error("one of --model and --health-check")
    if a.model and a.model not in models:
        sys.exit("render.py: unknown model %s (models.yaml has %s)" % (a.model, ", ".join(models)))
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(HERE), undefined=jinja2.StrictUndefined,
                             trim_blocks=True, lstrip_blocks=True, keep_trailing_newline=True)
    env.filters.update(rx=rx, lines=lines, yq=yq)
    env.globals.update(rx=rx, lines=lines)
    prompt = a.prompt or ("qnboard:[^ ]*# " if a.device_type == "qn-vboard" else "[^ \\n]*# ")
    if a.health_check:
        job = env.get_template("health.yaml.jinja2").render(
            device_type=a.device_type, images=a.images.rstrip("/"), board_prompt=prompt,
            shell=a.shell)
    else:
        job = env.get_template("acceptance.yaml.jinja2").render(
            model=a.model, m=models[a.model], board_tag=a.board_tag or a.model.lower(),
            device_type=a.device_type, images=a.images.rstrip("/"),
            character_delay=a.character_delay, board_prompt=prompt, shell=a.shell,
            test_timeout=a.test_timeout,
            job_name=a.name or "acceptance %s" % a.model)
    yaml.safe_load(job)  # a template error shows here, not on the server
    sys.stdout.write(job)


if __name__ == "__main__":
    main()
