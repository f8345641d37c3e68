#!/usr/bin/env python3
"""kernel_check.py [--keep DIR] [--for SECONDS] [--terminal] [--input FILE] TIMELINE -- COMMAND [ARG...]

Runs COMMAND recorded by syscall_timeline (TIMELINE --record), and reads
the kernel's own view of its processes at quiet moments: when every
process of the family is blocked, stopped or a zombie, and strace waits
with everything it saw written. A program takes such a moment on purpose
with a checkpoint: a read of one byte from descriptor 201, which this
harness gives it and writes to once it has looked (checkpoint.h; the
harness sets ORACLE_CHECKPOINTS, without which a checkpoint does nothing). Any
other moment when all of them block (a sleep, a wait) is looked at too.

What the kernel holds is then compared with the world the tool claims
after the last step that the trace had told by then (TIMELINE --world,
--steps): it shares no code with the tool.

  processes  the family's processes, each one's program (comm), whether
             it is a zombie, and its parent (one outside the trace is
             only checked to be outside)
  fds        each process's descriptor numbers (/proc/PID/fd)
  shared     which descriptors share an open file description
             (kcmp(KCMP_FILE)), and which descriptions are open on the
             same pipe, file or socket
  object     what each is open on: a pipe (by its inode), a FIFO, a
             socket, a file, the terminal
  access     read, write or both (/proc/PID/fdinfo flags), where the tool
             says it knows
  flags      O_APPEND, O_NONBLOCK, and close-on-exec
  offset     a file's offset (fdinfo pos), where the tool says it knows
  unread     the bytes waiting in each pipe (FIONREAD); while a write
             waits for room, at most the count the tool says "up to"
  group      each process's process group (/proc/PID/stat)
  signals    the signals it ignores, catches and blocks (/proc/PID/status)

A process that runs a system program (ls, ps), whose own calls the tool
counts without showing them, is compared as a process only: what those
calls do to its descriptors and signals is not told until it ends.

A program that runs until it is stopped (a lesson that sleeps for ever)
is ended with SIGTERM after --for SECONDS, as Ctrl-C would end it.

A program that never waits (a lesson that runs through in a moment) is
given --terminal: its output goes to a pseudo-terminal whose output is
held, as Ctrl-S holds a terminal's, so that a write to it waits until the
harness has looked and lets it through: the lines it prints make quiet
moments. --input gives it FILE as its standard input (/dev/null
otherwise).

Descriptor 201 itself is the harness's and is left out. Prints each
difference as "moment N (trace line L), pid P: what", then a count of the
moments and facts compared. Exits 1 on any difference, 2 when the run
could not be checked.
"""

import ctypes
import fcntl
import json
import os
import re
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import termios
import time
from pathlib import Path

CHECKPOINT_FD = 201
DEADLINE = 60.0  # only stops a hang
SYS_KCMP = 312  # x86-64
KCMP_FILE = 0
O_ACCMODE = 0o3
O_APPEND = 0o2000
O_NONBLOCK = 0o4000
O_CLOEXEC = 0o2000000
SYS_READ = 0
SYS_WRITES = {1, 20}  # write, writev
SYS_OPEN = {2, 257}
SYS_WAIT4 = 61
# Calls that put a mask of their own in place while they wait (sigsuspend,
# ppoll, pselect6, epoll_pwait, epoll_pwait2): the process's mask is back
# when they return.
SYS_SWAP_MASK = {130, 271, 270, 281, 441}

libc = ctypes.CDLL(None, use_errno=True)


def read_text(path):
    try:
        return Path(path).read_text()
    except OSError:
        return None


def stat_fields(pid):
    """State, parent; None when the process is gone."""
    text = read_text(f"/proc/{pid}/stat")
    if text is None:
        return None
    after = text[text.rindex(")") + 2:].split()
    return after[0], int(after[1])


def group_of(pid):
    text = read_text(f"/proc/{pid}/stat")
    return int(text[text.rindex(")") + 2:].split()[2]) if text else None


# The C library's own signals (a thread's cancellation, set*id across
# threads), which the tool leaves out as never a program's.
LIBRARY_SIGNALS = {"SIGRTMIN", "SIGRT_1"}


def signal_name(n):
    """As strace writes it."""
    if n < 32:
        return signal.Signals(n).name
    return "SIGRTMIN" if n == 32 else f"SIGRT_{n - 32}"


def signal_sets(pid):
    """The signals a process ignores, catches and blocks (/proc/PID/status)."""
    sets = {}
    for line in (read_text(f"/proc/{pid}/status") or "").splitlines():
        for key, name in (("SigIgn", "ignored"), ("SigCgt", "handled"), ("SigBlk", "blocked")):
            if line.startswith(key + ":"):
                bits = int(line.split()[1], 16)
                sets[name] = sorted({signal_name(n) for n in range(1, 65) if bits >> (n - 1) & 1} - LIBRARY_SIGNALS)
    return sets


def syscall_of(pid):
    text = read_text(f"/proc/{pid}/syscall")
    if not text or text.startswith("running"):
        return None
    fields = text.split()
    return int(fields[0]) if fields[0].lstrip("-").isdigit() else None, fields[1:]


def children(pid):
    """The children of every thread of a process, as the kernel lists them."""
    found = []
    try:
        threads = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return found
    for tid in threads:
        found += [int(c) for c in (read_text(f"/proc/{pid}/task/{tid}/children") or "").split()]
    return found


def family(strace_pid):
    """The processes below strace, and orphans adopted by us (a subreaper).
    Each process's own list of children: a walk of all of /proc would cost
    most of a busy machine's time."""
    adopted = [p for p in children(os.getpid()) if p != strace_pid]
    members = set(adopted)
    frontier = [strace_pid] + adopted
    while frontier:
        for pid in children(frontier.pop()):
            if pid not in members:
                members.add(pid)
                frontier.append(pid)
    return members


def quiet(strace_pid, members):
    """Whether nothing moves: strace waits, every member blocks or has ended."""
    tracer = stat_fields(strace_pid)
    call = syscall_of(strace_pid)
    if not tracer or tracer[0] != "S" or not call or call[0] != SYS_WAIT4:
        return False
    for pid in members:
        fields = stat_fields(pid)
        if fields and fields[0] not in ("S", "Z", "T", "t"):
            return False
    return True


def at_checkpoint(pid):
    call = syscall_of(pid)
    return bool(call) and call[0] == SYS_READ and int(call[1][0], 16) == CHECKPOINT_FD


def kind_of(link, path):
    if link.startswith("pipe:"):
        return "pipe"
    if link.startswith("socket:"):
        return "socket"
    if link == "anon_inode:[eventfd]":
        return "counter"
    if link.startswith("/dev/pts/") or link == "/dev/tty":
        return "terminal"
    try:
        if stat.S_ISFIFO(os.stat(path).st_mode):
            return "fifo"
    except OSError:
        pass
    return "file" if link.startswith("/") else "other"


def unread(path):
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError:
        return None
    try:
        count = ctypes.c_int()
        fcntl.ioctl(fd, termios.FIONREAD, count)
        return count.value
    finally:
        os.close(fd)


def socket_peers():
    """Each Unix socket's inode, and its peer's: a socket pair is one
    object with two ends, as a pipe is (ss, from iproute2, asks the kernel)."""
    peers = {}
    try:
        listing = subprocess.run(["ss", "-xanH"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return peers
    for line in listing.splitlines():
        fields = line.split()
        if len(fields) >= 8 and fields[5].isdigit() and fields[7].isdigit():
            peers[int(fields[5])] = int(fields[7])
    return peers


def snapshot(members, start_group):
    """The kernel's view of the family now; a process group number is 0
    for the group the traced program started in."""
    processes = {}
    # ss only when some member holds a socket: it is the dearest look.
    holds_socket = False
    for pid in members:
        try:
            holds_socket = holds_socket or any(
                os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:") for fd in os.listdir(f"/proc/{pid}/fd"))
        except OSError:
            pass
    peers = socket_peers() if holds_socket else {}
    blocked_in_open = any((syscall_of(p) or (None,))[0] in SYS_OPEN for p in members)
    for pid in sorted(members):
        fields = stat_fields(pid)
        if not fields:
            continue
        state, parent = fields
        comm = (read_text(f"/proc/{pid}/comm") or "").strip()
        fds = {}
        if state != "Z":
            try:
                numbers = [int(n) for n in os.listdir(f"/proc/{pid}/fd")]
            except OSError:
                numbers = []
            for fd in numbers:
                if fd == CHECKPOINT_FD:
                    continue
                path = f"/proc/{pid}/fd/{fd}"
                try:
                    link = os.readlink(path)
                    info = dict(
                        line.split(":", 1) for line in Path(f"/proc/{pid}/fdinfo/{fd}").read_text().splitlines() if ":" in line
                    )
                    st = os.stat(path)
                except OSError:
                    continue
                kind = kind_of(link, path)
                obj = (st.st_dev, st.st_ino)
                if kind == "socket" and peers.get(st.st_ino, 0) > 0:
                    obj = ("socket", min(st.st_ino, peers[st.st_ino]), max(st.st_ino, peers[st.st_ino]))
                entry = {
                    "link": link,
                    "kind": kind,
                    "object": obj,
                    "pos": int(info["pos"].strip()),
                    "flags": int(info["flags"].strip(), 8),
                }
                if kind == "pipe" or (kind == "fifo" and not blocked_in_open):
                    entry["unread"] = unread(path)
                fds[fd] = entry
        group = group_of(pid)
        processes[pid] = {"state": state, "parent": parent, "comm": comm, "fds": fds,
                          "group": 0 if group == start_group else group, "signals": signal_sets(pid),
                          "in_call": (syscall_of(pid) or (None,))[0]}
    # Which open file description each descriptor points at, asked of the
    # kernel while the processes are there: a number per description.
    held = [(pid, fd) for pid, p in processes.items() for fd in p["fds"]]
    entry = lambda pf: processes[pf[0]]["fds"][pf[1]]
    groups = partition(held, lambda a, b: entry(a)["object"] == entry(b)["object"] and same_description(a, b))
    for number, group in enumerate(groups):
        for pf in group:
            entry(pf)["description"] = number
    return processes


def same_description(a, b):
    (pa, fa), (pb, fb) = a, b
    return libc.syscall(SYS_KCMP, pa, pb, KCMP_FILE, fa, fb) == 0


def partition(items, key_same):
    groups = []
    for item in items:
        for group in groups:
            if key_same(group[0], item):
                group.append(item)
                break
        else:
            groups.append([item])
    return sorted(sorted(g) for g in groups)


class Comparison:
    def __init__(self):
        self.facts = 0
        self.differences = []

    def check(self, where, what, kernel, model):
        self.facts += 1
        if kernel != model:
            self.differences.append(f"{where}: {what}: the kernel has {kernel!r}, the tool says {model!r}")


def kernel_call_names():
    """The kernel's own table of call numbers, from its header."""
    names = {}
    header = Path(f"/usr/include/{os.uname().machine}-linux-gnu/asm/unistd_64.h")
    try:
        for line in header.read_text().splitlines():
            fields = line.split()
            if len(fields) == 3 and fields[0] == "#define" and fields[1].startswith("__NR_"):
                names[int(fields[2])] = fields[1][len("__NR_"):]
    except (OSError, ValueError):
        pass
    return names


CALL_NAMES = kernel_call_names()
TRACE_CALL = re.compile(r"^\d+\s+[\d.]+\s+(\w+)\(")


def compare(where, kernel, world, out, under_way=None):
    """under_way(pid): the step of the call the process was in at the
    moment, by the trace's lines, with the name the line gives it."""
    model_processes = {p["pid"]: p for p in world["processes"]}
    descriptions = world["descriptions"]
    objects = world["objects"]
    out.check(where, "processes", sorted(kernel), sorted(model_processes))
    pairs = []  # (pid, fd) held in both
    for pid, k in kernel.items():
        m = model_processes.get(pid)
        if m is None:
            continue
        at = f"{where}, pid {pid}"
        out.check(at, "program", k["comm"], m["program"][:15])
        out.check(at, "zombie", k["state"] == "Z", m["life"] == "zombie")
        parent_traced = k["parent"] in kernel
        out.check(at, "parent", k["parent"] if parent_traced else "outside",
                  m["parent"] if m["parent"] in kernel else "outside")
        model_fds = {int(fd): d for fd, d in m["fds"].items() if int(fd) != CHECKPOINT_FD}
        if k["state"] == "Z":
            continue
        out.check(at, "process group", k["group"], m["group"])
        if m.get("hidden"):
            continue  # a system program (ls, ps) whose own calls the tool counts, not shows
        # Blocked in a call, as every process is at a quiet moment unless
        # stopped: the trace has begun that call, and the tool's world has
        # the process inside it from its entry on.
        number = k["in_call"]
        if k["state"] in ("S", "D") and number is not None and number >= 0 and under_way is not None:
            step = under_way(pid)
            out.check(at, "call under way", True, step is not None)
            if step is not None:
                if number in CALL_NAMES:
                    out.check(at, "call", CALL_NAMES[number], step["name"])
                # (The world is the one after the last step told, at that
                # step's time: it can only have it inside a call under way
                # then, not one begun or ended since.)
                # (strace's clock counts microseconds.)
                then = world.get("time", -1)
                if step["began"] <= then + 1e-6 and then + 1e-6 < step["ended"]:
                    out.check(at, "inside the call of step", step["step"], m["in_call"])
        for name in ("ignored", "handled", "blocked"):
            if name == "blocked" and k["in_call"] in SYS_SWAP_MASK:
                continue
            out.check(at, f"signals {name}", k["signals"].get(name),
                      sorted(set(m[name]) - LIBRARY_SIGNALS))
        out.check(at, "fds", sorted(k["fds"]), sorted(model_fds))
        for fd, entry in k["fds"].items():
            if fd not in model_fds:
                continue
            pairs.append((pid, fd))
            d = descriptions[str(model_fds[fd])]
            o = objects.get(str(d["object"])) if d["object"] is not None else None
            here = f"{at}, fd {fd}"
            out.check(here, "cloexec", bool(entry["flags"] & O_CLOEXEC), fd in m["cloexec"])
            if o is not None:
                model_kind = o["kind"]
                out.check(here, "object", entry["kind"], model_kind)
                if entry["kind"] == "pipe" and o["target"]:
                    out.check(here, "pipe", entry["link"], o["target"])
                if "unread" in entry and entry["unread"] is not None and model_kind in ("pipe", "fifo"):
                    if o.get("in_flight_exact", True):
                        out.check(here, "unread", entry["unread"], o["in_flight"])
                    else:  # a write still waits for room: the tool says "up to"
                        out.check(here, "unread (at most)", entry["unread"], min(entry["unread"], o["in_flight"]))
            if d["access"] is None:
                continue  # given from outside the trace: the tool says it does not know how
            access = {0: "read", 1: "write", 2: "read_write"}[entry["flags"] & O_ACCMODE]
            out.check(here, "access", access, d["access"])
            for flag, bit in (("O_APPEND", O_APPEND), ("O_NONBLOCK", O_NONBLOCK)):
                out.check(here, flag, bool(entry["flags"] & bit), flag in d["flags"])
            if d["offset"] is not None and entry["kind"] == "file":
                out.check(here, "offset", entry["pos"], d["offset"])
    # Which descriptors share a description, and which descriptions share
    # an object: as the kernel groups them, and as the tool does.
    # Descriptions given from outside the trace (the shell's terminal, or
    # here the harness's files) are said to be unknown: left out.
    pairs = [pf for pf in pairs if not descriptions[str(model_processes[pf[0]]["fds"][str(pf[1])])]["outside"]]
    entry_of = lambda pf: kernel[pf[0]]["fds"][pf[1]]
    kernel_shared = partition(pairs, lambda a, b: entry_of(a)["description"] == entry_of(b)["description"])
    model_of = lambda pf: model_processes[pf[0]]["fds"][str(pf[1])]
    model_shared = partition(pairs, lambda a, b: model_of(a) == model_of(b))
    out.check(where, "shared descriptions", kernel_shared, model_shared)
    known = [pf for pf in pairs if descriptions[str(model_of(pf))]["object"] is not None]
    kernel_objects = partition(known, lambda a, b: entry_of(a)["object"] == entry_of(b)["object"])
    model_objects = partition(
        known, lambda a, b: descriptions[str(model_of(a))]["object"] == descriptions[str(model_of(b))]["object"]
    )
    out.check(where, "shared objects", kernel_objects, model_objects)


def traced_pids(path):
    """The pids the trace has lines of so far."""
    seen = set()
    with open(path, "rb") as f:
        for line in f:
            head = line.split(b" ", 1)[0]
            if head.isdigit():
                seen.add(int(head))
    return seen


def trace_lines(path, size):
    """The lines among the first `size` bytes of the trace. A call that
    blocked is written up to its arguments, its line still open: it is
    this moment's too (a write into a full pipe has put bytes in)."""
    with open(path, "rb") as f:
        text = f.read(size)
    return text.count(b"\n") + (1 if text and not text.endswith(b"\n") else 0)


def line_open(path, size):
    """Whether the last of those lines was still open (a call under way)."""
    with open(path, "rb") as f:
        text = f.read(size)
    return bool(text) and not text.endswith(b"\n")


def collect_adopted(recorder):
    """Collects the orphans we adopted that have ended, as init would (a
    program's orphan is collected by its adopter, outside the trace, as it
    ends): never the recorder, which Popen collects."""
    while True:
        try:
            ended = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOHANG | os.WNOWAIT)
        except ChildProcessError:
            return
        if ended is None or ended.si_pid in (0, recorder.pid):
            return
        os.waitpid(ended.si_pid, 0)


class Terminal:
    """A pseudo-terminal whose output is held: a write to it waits in the
    kernel until let through. What arrives is read and kept."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        os.set_blocking(self.master, False)
        self.path = os.ttyname(self.slave)
        self.output = bytearray()
        termios.tcflow(self.slave, termios.TCOOFF)

    def drain(self):
        while True:
            try:
                chunk = os.read(self.master, 65536)
            except (BlockingIOError, OSError):
                return
            if not chunk:
                return
            self.output += chunk

    def writers(self, pids):
        """Those of pids that wait in a write to this terminal."""
        found = []
        for pid in pids:
            call = syscall_of(pid)
            if not call or call[0] not in SYS_WRITES:
                continue
            try:
                if os.readlink(f"/proc/{pid}/fd/{int(call[1][0], 16)}") == self.path:
                    found.append(pid)
            except (OSError, ValueError, IndexError):
                pass
        return found

    def let_through(self):
        """Lets the waiting writes go on until some output arrives, and
        holds the terminal's output again at once (a process that prints
        two lines in a row may get both through)."""
        self.drain()
        termios.tcflow(self.slave, termios.TCOON)
        select.select([self.master], [], [], 1.0)
        termios.tcflow(self.slave, termios.TCOOFF)
        self.drain()

    def release(self):
        termios.tcflow(self.slave, termios.TCOON)
        self.drain()


def default_signals():
    """Started in the background (SIGINT, SIGQUIT ignored) or by nohup
    (SIGHUP ignored), we would hand that on: the exercise gets every
    signal's default action, and none blocked."""
    for s in signal.valid_signals():
        if s not in (signal.SIGKILL, signal.SIGSTOP) and s < signal.SIGRTMIN:
            signal.signal(s, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_SETMASK, [])


def run(timeline, command, keep, stop_after=None, terminal=None, given=None):
    work = Path(tempfile.mkdtemp(prefix="kernel_check."))
    libc.prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER: orphans come to us
    go_read, go_write = os.pipe()
    os.dup2(go_read, CHECKPOINT_FD, inheritable=True)
    os.close(go_read)
    log = terminal.slave if terminal else open(work / "output", "wb")
    recorder = subprocess.Popen(
        [timeline, "--record", str(work), "--no-lines", "--"] + command,
        cwd=work, stdin=open(given, "rb") if given else subprocess.DEVNULL, stdout=log, stderr=log,
        pass_fds=(CHECKPOINT_FD,), start_new_session=True,
        preexec_fn=default_signals,
        env=dict(os.environ, ORACLE_CHECKPOINTS="1"),
    )
    os.close(CHECKPOINT_FD)
    moments = []  # (complete trace lines, kernel view)
    start_group = os.getpgid(recorder.pid)  # strace's, where the program starts
    trace = None
    deadline = time.monotonic() + DEADLINE
    stop_at = time.monotonic() + stop_after if stop_after else None
    try:
        while recorder.poll() is None:
            if time.monotonic() > deadline:
                raise TimeoutError("the run did not end")
            if stop_at and time.monotonic() > stop_at:
                stop_at = None
                for pid in family(recorder.pid) - {recorder.pid}:
                    os.kill(pid, signal.SIGTERM)
            time.sleep(0.003)
            if trace is None:
                found = sorted(work.glob("*.trace"))
                if not found:
                    continue
                trace = found[0]
            collect_adopted(recorder)
            members = family(recorder.pid)
            if terminal:
                terminal.drain()
                if terminal.writers([recorder.pid]):  # strace itself, or the tool after it
                    terminal.let_through()
            if not members or not quiet(recorder.pid, members):
                continue
            before = trace.stat().st_size
            time.sleep(0.002)
            if not quiet(recorder.pid, members) or family(recorder.pid) != members:
                continue
            # A child just made stops ('t') until strace has seen it: the
            # moment is quiet only once the trace has told every member.
            if not members <= traced_pids(trace):
                continue
            view = snapshot(members, start_group)
            if trace.stat().st_size != before or not quiet(recorder.pid, members):
                continue  # it moved while we looked
            # The lines as they were while nothing moved: one written since
            # (the next call, once it runs) is not this moment's.
            lines = trace_lines(trace, before)
            if not moments or moments[-1][0] != lines:
                moments.append((lines, view, line_open(trace, before)))
            waiting = [p for p in members if at_checkpoint(p)]
            if waiting:
                os.write(go_write, b"g" * len(waiting))
            elif terminal and terminal.writers(members):
                terminal.let_through()
            else:
                time.sleep(0.02)  # a sleep or a wait: look again later
    finally:
        if terminal:
            terminal.release()
        if recorder.poll() is None:  # a hang, or we were stopped: nothing of it stays
            members = family(recorder.pid)
            os.killpg(recorder.pid, signal.SIGKILL)
            for pid in members:  # those that left the group too
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            recorder.wait()
        while True:  # the orphans we adopted
            try:
                if os.waitpid(-1, os.WNOHANG)[0] == 0:
                    break
            except ChildProcessError:
                break
    found = sorted(work.glob("*.trace"))
    if not trace and not found:
        raise RuntimeError(f"no trace was recorded: {(work / 'output').read_text(errors='replace').strip()}")
    trace = trace or found[0]
    world_file, steps_file = work / "world.json", work / "steps.json"
    told = subprocess.run([timeline, "--world", str(world_file), "--steps", str(steps_file), str(trace)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=DEADLINE)
    if told.returncode != 0:
        raise RuntimeError(f"{timeline} refused the trace: {told.stderr}")
    worlds = [json.loads(line) for line in world_file.read_text().splitlines()]
    steps = [json.loads(line) for line in steps_file.read_text().splitlines()]
    text_lines = Path(trace).read_text(errors="replace").splitlines()

    def calls_under_way(lines, open_line):
        """pid: the step of each call begun by trace line `lines` and not
        returned by then (its line of return after those, or the last of
        them, still open)."""
        found = {}
        for step in steps:
            where = step.get("trace")
            if not step.get("call") or not where or where[1] > lines:
                continue
            if where[2] > lines or (where[2] == lines and open_line):
                begun = TRACE_CALL.match(text_lines[where[1] - 1]) if where[1] <= len(text_lines) else None
                found[step["pid"]] = dict(step, name=begun[1] if begun else None)
        return found
    out = Comparison()
    for number, (lines, view, open_line) in enumerate(moments, 1):
        # The last step the trace had told whole by then, and the world
        # after it.
        # (A write into a full pipe is told from its first line: its
        # bytes go in as it begins.)
        told_steps = [s["step"] for s in steps if "trace" in s and s.get("made", s["trace"][2]) <= lines]
        last = max(told_steps, default=-1)
        world = {"processes": [], "descriptions": {}, "objects": {}}
        for w in worlds:
            if w["step"] <= last:
                world = w
        world = dict(world, time=steps[last]["time"] if last >= 0 else -1)
        compare(f"moment {number} (trace line {lines}, after step {last})", view, world, out,
                calls_under_way(lines, open_line).get)
    if keep:
        shutil.copytree(work, keep, dirs_exist_ok=True,
                        ignore=lambda d, names: [n for n in names if not (Path(d) / n).is_file()])
    shutil.rmtree(work, ignore_errors=True)
    return moments, out


def main(argv):
    # Stopped (timeout, Ctrl-C), it still ends the run it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(2))
    keep = stop_after = given = terminal = None
    while argv[:1] == ["--terminal"] or (argv[:1] in (["--keep"], ["--for"], ["--input"]) and len(argv) > 1):
        if argv[0] == "--terminal":
            terminal = Terminal()
            argv = argv[1:]
            continue
        if argv[0] == "--keep":
            keep = argv[1]
        elif argv[0] == "--input":
            given = os.path.abspath(argv[1])
        elif argv[1].replace(".", "", 1).isdigit():
            stop_after = float(argv[1])
        else:
            print(f"kernel_check: --for wants seconds, not {argv[1]!r}", file=sys.stderr)
            return 2
        argv = argv[2:]
    if len(argv) < 3 or argv[1] != "--":
        print(__doc__, file=sys.stderr)
        return 2
    try:
        # The run goes on in a folder of its own: paths are taken from here.
        command = [os.path.abspath(argv[2]) if "/" in argv[2] else argv[2]] + argv[3:]
        moments, out = run(os.path.abspath(argv[0]), command, keep, stop_after, terminal, given)
    except (OSError, RuntimeError, TimeoutError, subprocess.TimeoutExpired) as e:
        print(f"kernel_check: {e}", file=sys.stderr)
        return 2
    for difference in out.differences:
        print(difference)
    print(f"{len(moments)} moments, {out.facts} facts compared, {len(out.differences)} differences")
    return 1 if out.differences else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
