#!/usr/bin/env python3
"""check_steps.py [--blocked-at SECONDS] TIMELINE TRACE...

Checks what syscall_timeline says of each step against the trace lines the
step names, read here by a parser of its own: it shares nothing with the
tool's reader. The tool writes its steps with --steps; every fact their
words state that a trace line also states is compared:

  result    a call that strace shows as "= ?" never returned: no words
            tell a result of it (bytes moved, a descriptor made, a child
            born or collected, the end of data)
  bytes     "reads 10 bytes", "writes 1 byte, 11 times": each call's
            result, and how many calls
  fds       each "fd N" the words name is a descriptor of the call
  errno     the error the step carries, and any the words name
  status    "ends with status N" and "killed by SIGX": the exit_group's
            argument, strace's "+++ exited with N +++" or "killed by"
  waited    "waited X": the time strace measured in the calls (<...>)
  interrupted  a call a signal interrupted (EINTR, ERESTART...) says so,
            and how long it waited first
  seek      lseek(fd, 0, SEEK_CUR) only asks: it moves nothing
  blocked   a wait, or a read on a pipe or socket, that took 1 ms or more
            (--blocked-at: a trace made on a busy machine, where a call
            that had what it asked for may still last that long) says it
            waited; not one that failed, nor a wait with WNOHANG
  duration  the step lasts at least as long as strace measured its calls

Prints each difference as "trace:line: what", then a count of the steps
and facts compared. Exits 1 on any difference.
"""

import json
import re
import subprocess
import sys
import tempfile
from pathlib import Path

LINE = re.compile(r"^(?:(\d+) +)?(\d+\.\d+) (.*)$")
RESUMED = re.compile(r"^<\.\.\. (\w+) resumed>(.*)$")
UNFINISHED = " <unfinished ...>"
DESCRIPTOR = re.compile(r"(?<![\w.\-])(\d+)<")
RESULT_CLAIM = re.compile(
    r"\b(returns?|(?<!never )returned|end of data|reads \d|writes \d|sends \d|receives \d|collects|"
    r"creates|opens|is born|gets \d)\b"
)
BYTES = re.compile(r"\b(reads|writes|sends|receives) (\d+) bytes?(?:, (\d+) times)?")
FD = re.compile(r"\bfds? (\d+)")
ERRNO = re.compile(r"\b(E[A-Z]{2,}[A-Z0-9_]*)\b")
STATUS = re.compile(r"ends with status (\d+)")
KILLED = re.compile(r"killed by (SIG[A-Z0-9]+)")
WAITED = re.compile(r"\b(?:waited|waiting|waits) (\d+(?:\.\d+)?) (µs|ms|s)\b")
# Calls that wait for another process, and reads that do on a pipe or a
# socket. (A call on a file may last a millisecond on a busy machine
# without waiting for anyone.)
WAITING = {"wait4", "waitid", "pause", "rt_sigsuspend", "poll", "ppoll", "select", "pselect6",
           "epoll_wait"}
ON_CHANNEL = {"read", "readv", "recvfrom", "recvmsg"}
CHANNEL = re.compile(r"^\(\d+<(pipe|socket|UNIX)")
UNIT = {"µs": 1e-6, "ms": 1e-3, "s": 1.0}
INTERRUPTED = {"EINTR", "ERESTARTSYS", "ERESTARTNOINTR", "ERESTARTNOHAND", "ERESTART_RESTARTBLOCK"}


ALARM_IN = re.compile(r"SIGALRM in (\d+) seconds?")
ALARM_LEFT = re.compile(r"had (\d+) seconds? left")

class Call:
    def __init__(self, name, args, line, time):
        self.name, self.args, self.lines = name, args, [line]
        self.times = [time]
        self.result = None  # "?" or a number as text; None: unfinished at the end
        self.errno = None
        self.duration = None


class Trace:
    """The calls and process ends of one trace file, by line number."""

    def __init__(self, path, pid_of_file):
        self.path = path
        self.calls = {}  # line number -> Call (both lines of a split call)
        self.pid = {}  # line number -> pid
        self.ends = {}  # line number -> ("exited", N) or ("killed", SIG)
        pending = {}
        for number, text in enumerate(Path(path).read_text(errors="replace").splitlines(), 1):
            m = LINE.match(text)
            if not m:
                continue
            pid = int(m.group(1)) if m.group(1) else pid_of_file
            rest = m.group(3)
            self.pid[number] = pid
            if rest.startswith("+++ exited with "):
                self.ends[number] = ("exited", int(rest.split()[3]))
                continue
            if rest.startswith("+++ killed by "):
                self.ends[number] = ("killed", rest.split()[3])
                continue
            if rest.startswith("---") or rest.startswith("+++"):
                continue
            resumed = RESUMED.match(rest)
            if resumed:
                call = pending.pop(pid, None)
                if call is None:
                    continue
                call.lines.append(number)
                call.times.append(float(m.group(2)))
                call.args += resumed.group(2)
                self.calls[number] = call
                self.finish(call, resumed.group(2))
                continue
            name = rest[: rest.find("(")] if "(" in rest else ""
            if not re.fullmatch(r"\w+", name or "-"):
                continue
            call = Call(name, rest[len(name) :], number, float(m.group(2)))
            self.calls[number] = call
            if rest.endswith(UNFINISHED):
                call.args = call.args[: -len(UNFINISHED)]
                pending[pid] = call
            else:
                self.finish(call, rest)

    @staticmethod
    def finish(call, text):
        """") = 3<pipe:[7]> <0.000012>", ") = -1 ENOENT (No such file) <...>",
        ") = 1 ([{fd=5, revents=POLLIN}]) <...>", ") = ?"."""
        duration = re.search(r" <(\d+\.\d+)>$", text)
        if duration:
            call.duration = float(duration.group(1))
            text = text[: duration.start()]
        # strace pads a short call's result to a column: "setpgid(0, 0)   = -1".
        ends = list(re.finditer(r"\) += ", text))
        if not ends:
            return
        words = text[ends[-1].end() :].split(" ")
        call.result = re.sub(r"<.*", "", words[0])
        if len(words) > 1 and re.fullmatch(r"E[A-Z0-9_]+", words[1]):
            call.errno = words[1]


PIPE = re.compile(r"^\(\d+<(pipe:\[\d+\])>")


def had_bytes(trace, read):
    """Whether a read of a pipe found bytes there as it began, by the trace's
    own counts: the bytes of the writes that began before it (a write still
    waiting for room counts), less those the reads before it took. Such a
    read did not wait, however long a busy machine made it last."""
    pipe = PIPE.match(read.args)
    if not pipe or read.name not in ON_CHANNEL:
        return False
    there = 0
    for c in set(trace.calls.values()):
        if c is read or not c.times or c.times[0] >= read.times[0] or not c.args.startswith("(") or \
                f"<{pipe.group(1)}>" not in c.args.split(",")[0]:
            continue
        if c.name in ("write", "writev") and c.errno is None:
            asked = re.search(r", (\d+)$", c.args)
            done = c.result if c.result not in (None, "?") else (asked.group(1) if asked else "0")
            there += int(done) if done.lstrip("-").isdigit() else 0
        elif c.name in ON_CHANNEL and c.result not in (None, "?") and c.result.isdigit():
            there -= int(c.result)
    return there > 0


def pid_in_name(path):
    m = re.search(r"\.(\d+)$", str(path))
    return int(m.group(1)) if m else 0


class Checker:
    def __init__(self, traces, blocked_at):
        self.traces = traces
        self.blocked_at = blocked_at
        self.facts = 0
        self.steps = 0
        self.differences = []

    def differ(self, trace, line, what):
        self.differences.append(f"{trace.path}:{line}: {what}")

    def fact(self, holds, trace, line, what):
        self.facts += 1
        if not holds:
            self.differ(trace, line, what)

    def check(self, step):
        if "trace" not in step:
            return
        file, first, last = step["trace"]
        trace = self.traces[file]
        pid = trace.pid.get(first)
        # The step's own calls: those of its first line's name, in its
        # process (the lines between may hold calls the tool hides, such as
        # the C library's own). A step of another process (a child born at
        # its parent's fork) has none.
        calls = []
        own = trace.calls.get(first)
        for n in range(first, last + 1):
            call = trace.calls.get(n)
            # A call told at its start (a write, a sleep) is the step's
            # from its first line on, its end included.
            if (call and own and call.name == own.name and trace.pid.get(n) == pid
                    and (call.lines[-1] == n or call.lines[0] == first) and call not in calls):
                calls.append(call)
        if not step.get("call"):
            calls = []
        ends = [trace.ends[n] for n in range(first, last + 1) if n in trace.ends and trace.pid.get(n) == pid]
        self.steps += 1
        words = step["words"]
        said = f'"{words}"'
        # Only the words of the step's own call: what follows " (" in a
        # wait's words may quote its child's end.
        for call in calls:
            if call.result == "?" and call.name not in ("exit", "exit_group", "execve"):
                claim = RESULT_CLAIM.search(words)
                self.fact(claim is None, trace, first,
                          f"{call.name} never returned (= ?), but the words tell a result: {said}")
        m = BYTES.search(words)
        if m and calls:
            moved = [c for c in calls if c.result not in (None, "?") and c.errno is None]
            self.fact(all(c.result == m.group(2) for c in moved) and moved, trace, first,
                      f"{m.group(1)} {m.group(2)} bytes, but strace says "
                      f"{[c.result for c in calls]}: {said}")
            times = int(m.group(3) or 1)
            self.fact(times == len(calls), trace, first,
                      f"{times} call(s) told, {len(calls)} in the lines: {said}")
        if calls:
            text = " ".join(c.args for c in calls) + " " + " ".join(c.result or "" for c in calls)
            held = set(DESCRIPTOR.findall(text)) | {c.result for c in calls}
            held |= set(re.findall(r"\((\d+)[,)]", text))  # a descriptor without -y
            if not re.search(r"\bexecs?\b|exec\(|execve", words):
                for fd in FD.findall(words):
                    self.fact(fd in held, trace, first, f"fd {fd} is no descriptor of the call: {said}")
        errnos = {c.errno for c in calls if c.errno}
        if step["error"]:
            self.fact(step["error"] in errnos, trace, first,
                      f"error {step['error']}, but strace says {sorted(errnos) or 'none'}")
        # Words that explain (what a disposition makes a later call do) may
        # name an error; a step that failed names its own.
        for name in ERRNO.findall(words) if step["error"] or errnos else []:
            self.fact(name in errnos, trace, first,
                      f"the words name {name}, strace says {sorted(errnos) or 'none'}: {said}")
        alarms = [c for c in calls if c.name == "alarm" and c.result not in (None, "?")]
        if alarms:
            seconds = re.match(r"\((\d+)\)", alarms[0].args).group(1)
            m = ALARM_IN.search(words)
            self.fact((m.group(1) if m else "0") == seconds and (m is not None) == (seconds != "0"),
                      trace, first, f"alarm({seconds}), but the words say: {said}")
            m = ALARM_LEFT.search(words)
            self.fact((m.group(1) if m else "0") == alarms[0].result, trace, first,
                      f"alarm returned {alarms[0].result} seconds left, the words say: {said}")
        seeks = [c for c in calls if c.name == "lseek" and c.args.endswith(", 0, SEEK_CUR)")]
        if seeks:
            self.fact("moves" not in words, trace, first,
                      f"lseek(fd, 0, SEEK_CUR) only asks where the offset is: {said}")
        m = STATUS.search(words)
        if m:
            statuses = [int(c.args.strip("()").split(")")[0]) for c in calls
                        if c.name in ("exit", "exit_group") and c.args[1:].split(")")[0].isdigit()]
            statuses += [n for kind, n in ends if kind == "exited"]
            if statuses:
                self.fact(int(m.group(1)) in statuses, trace, first,
                          f"status {m.group(1)}, strace says {statuses}: {said}")
        m = KILLED.search(words)
        if m and ends and " which " not in words:
            self.fact(("killed", m.group(1)) in ends, trace, first,
                      f"killed by {m.group(1)}, strace says {ends}: {said}")
        # A call that never returned has no duration: it was in it from its
        # start line to its "= ?".
        spent = [c.duration if c.duration is not None else
                 (c.times[-1] - c.times[0] if c.result == "?" else 0) for c in calls]
        measured = sum(spent)
        longest = max(spent, default=0)
        m = WAITED.search(words)
        if m and calls and "parent waited" not in words:
            # Folded calls tell the time of those that blocked: at least
            # the longest, at most all of them (as rounded in the words).
            told = float(m.group(1)) * UNIT[m.group(2)]
            self.fact(longest * 0.95 - 2e-6 <= told <= measured * 1.05 + 2e-6, trace, first,
                      f"waited {m.group(1)} {m.group(2)}, strace measured {longest:.6f} s "
                      f"(the longest) to {measured:.6f} s (all): {said}")
        interrupted = [c for c in calls if c.errno in INTERRUPTED]
        if interrupted and (interrupted[0].duration or 0) >= self.blocked_at:
            self.fact("wait" in words or "sleep" in words, trace, first,
                      f"{interrupted[0].name} waited {interrupted[0].duration:.6f} s before a "
                      f"signal interrupted it, the words do not say so: {said}")
        if interrupted:
            # pause and sigsuspend return only so: they say for a signal.
            waits_for_signal = interrupted[0].name in ("pause", "rt_sigsuspend")
            self.fact("interrupt" in words or (waits_for_signal and "signal" in words), trace, first,
                      f"{interrupted[0].name} was interrupted ({interrupted[0].errno}), "
                      f"the words do not say so: {said}")
        # WNOHANG asks without waiting, and a call that failed did not wait
        # (one a signal interrupted is checked above): a loaded machine may
        # still make them last.
        blocking = [c for c in calls if (c.duration or 0) >= self.blocked_at and c.errno is None
                    and "WNOHANG" not in c.args and not had_bytes(trace, c)
                    and (c.name in WAITING or (c.name in ON_CHANNEL and CHANNEL.match(c.args)))]
        if blocking:
            self.fact("wait" in words or "sleep" in words or "asleep" in words, trace, first,
                      f"{blocking[0].name} took {blocking[0].duration:.6f} s, "
                      f"the words do not say it waited: {said}")
        if calls and measured > 0:
            self.fact(step["ended"] - step["began"] >= measured - 2e-6, trace, first,
                      f"the step lasts {step['ended'] - step['began']:.6f} s, strace measured "
                      f"{measured:.6f} s: {said}")


def main():
    arguments = sys.argv[1:]
    blocked_at = 0.001
    if arguments[:1] == ["--blocked-at"] and len(arguments) > 1:
        blocked_at = float(arguments[1])
        arguments = arguments[2:]
    if len(arguments) < 2:
        sys.exit(__doc__)
    timeline, paths = arguments[0], arguments[1:]
    with tempfile.TemporaryDirectory() as work:
        out = Path(work, "steps.json")
        run = subprocess.run([timeline, "--steps", str(out), *paths], stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True)
        if run.returncode != 0:
            sys.exit(f"check_steps: {timeline} failed: {run.stderr.strip()}")
        steps = [json.loads(line) for line in out.read_text().splitlines()]
    checker = Checker([Trace(p, pid_in_name(p)) for p in paths], blocked_at)
    for step in steps:
        checker.check(step)
    for difference in checker.differences:
        print(difference)
    print(f"check_steps: {checker.steps} steps, {checker.facts} facts compared, "
          f"{len(checker.differences)} differences")
    return 1 if checker.differences else 0


if __name__ == "__main__":
    sys.exit(main())
