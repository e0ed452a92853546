"""The one installer (scripts/install.sh) against a stand-in apt-get and dpkg on PATH:
update retries, a partial update that goes on to the install, a missing package, the
foreign architecture of PKG:ARCH. Nothing of the machine's own packages is touched."""
import os
import pathlib
import subprocess

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]

def fake_tools(tmp_path, available, installed=(), foreign=()):
    bin_ = tmp_path / "bin"
    bin_.mkdir()
    (tmp_path / "available").write_text("\n".join(available) + "\n")
    (tmp_path / "installed").write_text("\n".join(installed) + "\n")
    (tmp_path / "foreign").write_text("".join(a + "\n" for a in foreign))
    (bin_ / "apt-get").write_text(r"""#!/bin/bash
log=$QN_FAKE/log
mode=
pk=()
for a in "$@"; do
  case "$a" in
    update|install) mode=$a ;;
    -*|*=*) ;;
    *) [ "$mode" = install ] && pk+=("$a") ;;
  esac
done
if [ "$mode" = update ]; then
  echo update >>"$log"
  n=$(cat "$QN_FAKE/update-fails" 2>/dev/null || echo 0)
  if [ "$n" -gt 0 ]; then
    echo $((n - 1)) >"$QN_FAKE/update-fails"
    echo "E: Failed to fetch Packages.xz  File has unexpected size. Mirror sync in progress?" >&2
    exit 100
  fi
  exit 0
fi
echo "install ${pk[*]}" >>"$log"
for p in "${pk[@]}"; do
  grep -qx "$p" "$QN_FAKE/available" || { echo "E: Unable to locate package $p" >&2; exit 100; }
done
printf '%s\n' "${pk[@]}" >>"$QN_FAKE/installed"
""")
    (bin_ / "dpkg").write_text(r"""#!/bin/bash
case "$1" in
  -s) grep -qx "$2" "$QN_FAKE/installed" ;;
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) cat "$QN_FAKE/foreign" ;;
  --add-architecture) echo "$2" >>"$QN_FAKE/foreign"; echo "add-arch $2" >>"$QN_FAKE/log" ;;
  *) exit 2 ;;
esac
""")
    for f in bin_.iterdir():
        f.chmod(0o755)
    return bin_


def run(tmp_path, bin_, *pkgs, update_fails=0):
    (tmp_path / "update-fails").write_text(str(update_fails))
    env = dict(os.environ, PATH=f"{bin_}:{os.environ['PATH']}", QN_FAKE=str(tmp_path),
               QN_APT_PAUSE="0")
    p = subprocess.run(["bash", str(REPO / "scripts/install.sh"), *pkgs], env=env,
                       capture_output=True, text=True)
    log = (tmp_path / "log").read_text().split("\n")[:-1] if (tmp_path / "log").exists() else []
    return p, log


@pytest.mark.parametrize("fails, updates", [(0, 1), (1, 2), (2, 3), (5, 3)],
                         ids=["first-try", "second-try", "third-try", "never"])
def test_update_is_retried_and_the_install_goes_on(tmp_path, fails, updates):
    bin_ = fake_tools(tmp_path, available=["cmake", "make"])
    p, log = run(tmp_path, bin_, "cmake", "make", update_fails=fails)
    assert p.returncode == 0, p.stderr
    assert log == ["update"] * updates + ["install cmake make"]
    if fails >= 3:
        assert "going on with the package lists as they are" in p.stderr


def test_a_package_missing_after_a_failed_update_fails(tmp_path):
    bin_ = fake_tools(tmp_path, available=["cmake"])
    p, log = run(tmp_path, bin_, "cmake", "nosuch-package", update_fails=9)
    assert p.returncode != 0
    assert "Unable to locate package nosuch-package" in p.stderr


def test_nothing_missing_touches_nothing(tmp_path):
    bin_ = fake_tools(tmp_path, available=["cmake"], installed=["cmake"])
    p, log = run(tmp_path, bin_, "cmake")
    assert p.returncode == 0 and log == []


def test_a_foreign_architecture_is_added_before_the_update(tmp_path):
    bin_ = fake_tools(tmp_path, available=["musl-dev:armel"])
    p, log = run(tmp_path, bin_, "musl-dev:armel")
    assert p.returncode == 0, p.stderr
    assert log == ["add-arch armel", "update", "install musl-dev:armel"]


def test_usage_without_packages(tmp_path):
    bin_ = fake_tools(tmp_path, available=[])
    p, _ = run(tmp_path, bin_)
    assert p.returncode != 0 and "usage" in p.stderr  # (a refusal: usage on stderr)
