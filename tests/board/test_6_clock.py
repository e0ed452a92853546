"""rtcset and time against the kernel's RTC driver (QEMU's PL031 on the virtual
board) and busybox's hwclock and date."""

import re

import pytest

from qnboard.console import lines


def test_rtcset_then_hwclock_and_date(qn):
    qn.start()
    out = lines(qn.command("rtcset 2030 1 2 3 4 5"))
    qn.exit()
    assert out.startswith("\nInput:2030-01-02 03:04:05\n")
    # busybox hwclock, then date: the typed time (a second or two may pass)
    assert re.search(r"\nWed Jan  2 03:04:0[5-9] 2030  0\.000000 seconds\n", out), out
    assert re.search(r"\nWed Jan  2 03:04:0[5-9] UTC 2030\n", out), out
    # the RTC keeps it after the shell has ended
    assert re.fullmatch(r"Wed Jan  2 03:04:\d\d 2030  0\.000000 seconds", qn.sh("hwclock -r")[0])
    assert qn.sh("date +%Y-%m-%d")[0] == "2030-01-02"


# typed fields -> what the RTC holds afterwards (the shell normalises first)
ROLLED = [
    ("2024 13 1 0 0 0", "Input:2024-13-01 00:00:00", r"Wed Jan  1 00:00:0\d 2025"),
    ("2024 3 0 12 0 0", "Input:2024-03-00 12:00:00", r"Thu Feb 29 12:00:0\d 2024"),
    ("2023 12 31 23 59 60", "Input:2023-12-31 23:59:60", r"Mon Jan  1 00:00:0\d 2024"),
    ("0x7e8 5 6 7 8 9 10", "Input:2024-05-06 07:08:09", r"Mon May  6 07:08:\d\d 2024"),
]


@pytest.mark.parametrize("typed,echo,rtc", ROLLED, ids=[r[0] for r in ROLLED])
def test_rtcset_rolled_over_fields(qn, typed, echo, rtc):
    qn.start()
    out = lines(qn.command("rtcset " + typed))
    qn.exit()
    assert out.startswith("\n" + echo + "\n")
    assert "read rtc time failed" not in out
    assert re.fullmatch(rtc + "  0.000000 seconds", qn.sh("hwclock -r")[0])


# times the kernel refuses: (typed, the shell's failure line, the RTC is left alone)
REFUSED = [
    # before the epoch: settimeofday refuses a negative time
    ("1969 12 31 0 0 0", "Set system datatime error!"),
    # past the PL031's 32-bit seconds counter (2106-02-07 06:28:15 UTC)
    ("2107 1 1 0 0 0", "read rtc time failed"),
]


@pytest.mark.lg_feature("control")
@pytest.mark.parametrize("typed,failure", REFUSED, ids=[r[0] for r in REFUSED])
def test_rtcset_out_of_the_kernels_range(qn, typed, failure):
    qn.start()
    qn.command("rtcset 2031 6 7 8 9 10")
    out = lines(qn.command("rtcset " + typed))
    assert failure + "\n" in out
    assert "seconds" not in out, "hwclock and date do not run after a failure"
    after = lines(qn.command("time"))
    qn.exit()
    assert re.search(r"Sat Jun  7 08:09:\d\d 2031  0\.000000 seconds\n", after), after


def test_time_shows_both_clocks(qn):
    qn.start()
    qn.command("rtcset 2029 2 3 4 5 6")
    out = lines(qn.command("time with words"))
    qn.exit()
    assert re.fullmatch(r"\nSat Feb  3 04:05:\d\d 2029  0\.000000 seconds\nSat Feb  3 04:05:\d\d UTC 2029\n", out), out
