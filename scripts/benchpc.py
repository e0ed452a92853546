#!/usr/bin/python3
"""The bench PC's configuration for scripts/run-benchpc.sh (lab/benchpc/); USAGE says how
to call it.

The three files must agree: every board of benchpc.yaml has a connection of its name in
ser2net.yaml on its port, bound to 127.0.0.1, and the PDU is in pdudaemon.conf with its
listener on 127.0.0.1 (an alias of a board's name, where given, names its outlet).
QN_BENCHPC_CONF names another folder of the three files (the tests' own).
"""

import json
import os
import re
import sys

import yaml

USAGE = """usage: scripts/benchpc.py table|pdu|ser2net DIR     (-h, --help: this text)

  table          one line a board: NAME LABEL IMAGE PORT OUTLET
  pdu            the PDU's name, the listener's host and port, the reboot delay
  ser2net DIR    ser2net.yaml with each board's serialdev at DIR/NAME/adapter
The bench PC's three files (lab/benchpc/: benchpc.yaml, ser2net.yaml, pdudaemon.conf)
must agree; QN_BENCHPC_CONF names another folder of them."""

HERE = os.environ.get("QN_BENCHPC_CONF") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "lab", "benchpc")
MODELS = ("KD3151", "KD3252", "KD3353", "KD3454", "KD3555")
NAME_RE = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_.-]*$")


class ConfigError(Exception):
    pass


def read(name):
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        return f.read()


def ser2net_connections(text):
    """{name: (port, address, serialdev line's index)} of a ser2net.yaml, and its lines.
    (ser2net repeats the key "connection", which a YAML library folds into one.)"""
    lines = text.split("\n")
    conns, name = {}, None
    for i, line in enumerate(lines):
        m = re.match(r"^connection:\s*&(\S+)\s*$", line)
        if m:
            name = m.group(1)
            conns[name] = [None, None, None]
            continue
        if name is None:
            continue
        m = re.match(r"^\s+accepter:\s*telnet\(rfc2217\),tcp,([^,\s]+),(\d+)\s*$", line)
        if m:
            conns[name][0], conns[name][1] = int(m.group(2)), m.group(1)
        elif re.match(r"^\s+connector:\s*serialdev,", line):
            conns[name][2] = i
    return conns, lines


def load():
    """(boards, pdu settings): boards a list of dicts in the file's order."""
    cfg = yaml.safe_load(read("benchpc.yaml"))
    pdud = json.loads(read("pdudaemon.conf"))
    conns, _ = ser2net_connections(read("ser2net.yaml"))
    pdu = cfg.get("pdu")
    if pdu not in pdud.get("pdus", {}):
        raise ConfigError(f"pdudaemon.conf has no PDU {pdu!r}")
    daemon = pdud.get("daemon", {})
    if daemon.get("hostname") != "127.0.0.1" or daemon.get("listener") != "http":
        raise ConfigError("pdudaemon.conf: the HTTP listener must be on 127.0.0.1")
    aliases = pdud.get("aliases", {})
    boards, ports, outlets = [], set(), set()
    for name, b in (cfg.get("boards") or {}).items():
        if not NAME_RE.match(name):
            raise ConfigError(f"bad board name {name!r}")
        b = dict(b or {})
        label = b.get("label")
        image = b.get("image", label)
        for what, model in (("label", label), ("image", image)):
            if model not in MODELS:
                raise ConfigError(f"{name}: {what} {model!r} is none of {', '.join(MODELS)}")
        port, outlet = b.get("port"), b.get("outlet")
        if not isinstance(port, int) or not 1024 <= port <= 65535:
            raise ConfigError(f"{name}: port {port!r} is not a TCP port above 1023")
        if not isinstance(outlet, int) or outlet < 1:
            raise ConfigError(f"{name}: outlet {outlet!r} is not an outlet number")
        if port in ports or outlet in outlets:
            raise ConfigError(f"{name}: port {port} or outlet {outlet} taken twice")
        ports.add(port)
        outlets.add(outlet)
        conn = conns.get(name)
        if not conn or conn[0] is None or conn[2] is None:
            raise ConfigError(f"ser2net.yaml: no telnet(rfc2217) connection with a serialdev for {name}")
        if conn[0] != port or conn[1] != "127.0.0.1":
            raise ConfigError(f"ser2net.yaml: {name} is on {conn[1]}:{conn[0]}, benchpc.yaml says 127.0.0.1:{port}")
        alias = aliases.get(name)
        if alias and (alias.get("hostname") != pdu or int(alias.get("port", 0)) != outlet):
            raise ConfigError(f"pdudaemon.conf: the alias {name} is not {pdu} outlet {outlet}")
        boards.append({"name": name, "label": label, "image": image, "port": port, "outlet": outlet})
    if not boards:
        raise ConfigError("benchpc.yaml lists no boards")
    delay = cfg.get("reboot_delay", 5)
    return boards, {"name": pdu, "host": daemon["hostname"], "port": int(daemon.get("port", 16421)),
                    "delay": int(delay)}


def ser2net_for(boards, state_dir):
    """The ser2net.yaml with each board's serialdev at its stand-in adapter."""
    conns, lines = ser2net_connections(read("ser2net.yaml"))
    for b in boards:
        i = conns[b["name"]][2]
        dev = os.path.join(state_dir, b["name"], "adapter")
        lines[i] = re.sub(r"serialdev,[^,]+,", f"serialdev,{dev},", lines[i], count=1)
    return "\n".join(lines)


def main(argv):
    if argv[1:2] in (["-h"], ["--help"]):
        print(USAGE)
        return 0
    try:
        boards, pdu = load()
    except (ConfigError, OSError, ValueError, yaml.YAMLError) as e:
        print(f"benchpc: {e}", file=sys.stderr)
        return 1
    cmd = argv[1] if len(argv) > 1 else ""
    if cmd == "table":
        for b in boards:
            print(b["name"], b["label"], b["image"], b["port"], b["outlet"])
    elif cmd == "pdu":
        print(pdu["name"], pdu["host"], pdu["port"], pdu["delay"])
    elif cmd == "ser2net" and len(argv) == 3:
        sys.stdout.write(ser2net_for(boards, os.path.abspath(argv[2])))
    else:
        print(USAGE, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
