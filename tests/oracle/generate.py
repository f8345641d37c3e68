#!/usr/bin/env python3
"""generate.py SEED [HELPER]

Writes to standard output a small C program, the kind of exercise a
systems course gives, made at random from SEED: processes forked (nested),
waited for, left as zombies for a while, stopped and continued, or killed
(asked with WNOHANG first); pipes, FIFOs, socket pairs and files, read
and written, their descriptors duplicated, closed, marked close-on-exec
or non-blocking, passed through sockets; signals ignored, caught,
blocked, sent to a group, or set to come with alarm; writes of more than
a pipe has room for, waiting while a child reads; new process groups
and sessions; memory mapped shared; programs run with exec, or not found.
It calls checkpoint() (checkpoint.h) at moments where the kernel harness
is to compare the kernel's view with the tool's. HELPER is the program a
child may exec (a checkpoint of its own, then exit).

The program is deterministic enough to check: while a child runs, its
parent waits for it, or the child is blocked in pause(). The generator
follows every descriptor as the kernel numbers them (the lowest free one),
every pipe's bytes and who holds each end, so that no read waits forever
and no write meets a pipe without readers. A seed gives the same program
each time. `shrink` (used by scripts/oracle) takes out steps one by one:
what no longer makes sense without them is left out as the program is
written again.
"""

import copy
import random
import sys

PIPE_CAPACITY = 65536
CHECKPOINT_FD = 201
NAMES = ["f1.txt", "f2.txt", "f3.txt"]
FIFO = "fifo1"
SIGNALS = ["SIGTERM", "SIGKILL", "SIGINT"]
# What a process may do with a signal, and the signals it does it with.
ACTIONS = ["DEFAULT", "IGNORE", "HANDLE", "HANDLE_RESTART"]
CHOSEN = ["SIGUSR1", "SIGUSR2", "SIGTERM", "SIGINT", "SIGCHLD"]


class Desc:
    """An open file description: shared by fork and dup."""

    def __init__(self, obj, end, nonblock=False, append=False):
        self.obj, self.end, self.nonblock, self.append = obj, end, nonblock, append


class Obj:
    def __init__(self, kind, dgram=False):
        self.kind = kind  # pipe, fifo, sock, file
        self.dgram = dgram
        self.lo = self.hi = 0  # bytes waiting (pipe, FIFO): at least, at most
        self.pending = {"a": [], "b": []}  # a socket pair's: what each end will read


class Proc:
    def __init__(self, fds, handles, parent=None):
        self.fds = fds  # number: [desc, cloexec]
        self.handles = handles  # handle: number
        self.alive = True
        self.parent = parent
        self.actions = dict(parent.actions) if parent else {}  # signal: IGNORE, HANDLE...
        self.blocked = set(parent.blocked) if parent else set()
        self.group = parent.group if parent else 0  # 0: the group it started in
        self.pid = None  # a stand-in for its pid, for its group

    def dies_of(self, signal):
        """Whether the signal, sent now, would end it."""
        if signal == "SIGKILL":
            return True
        return signal != "SIGCHLD" and self.actions.get(signal, "DEFAULT") == "DEFAULT" and signal not in self.blocked

    def takes(self, signal):
        """Whether the signal, sent now, is caught or ignored at once."""
        return signal != "SIGKILL" and signal not in self.blocked and self.actions.get(signal, "DEFAULT") != "DEFAULT"


class World:
    """What the generated program does to the kernel, step by step."""

    def __init__(self):
        self.procs = []
        self.files = set()
        self.fifo = False
        self.next_handle = 0
        self.sockets = []  # every socket pair made, for the descriptors in them

    def start(self):
        # 0, 1 and 2 as the harness gives them (/dev/null, a file): a
        # program may copy or close them as any other.
        given = {fd: [Desc(Obj("given"), "rw"), False] for fd in (0, 1, 2)}
        main = Proc({**given, CHECKPOINT_FD: [None, False]}, {-1: 0, -2: 1, -3: 2})
        self.procs.append(main)
        return main

    def holders(self, obj, ends):
        """Descriptors on `obj`'s `ends` in live processes, and those on
        their way through a socket (the kernel holds them open)."""
        held = sum(
            1
            for p in self.procs
            if p.alive
            for d, _ in p.fds.values()
            if d is not None and d.obj is obj and d.end in ends
        )
        return held + sum(1 for d in self.travelling() if d.obj is obj and d.end in ends)

    def travelling(self):
        return [m[1] for o in self.sockets for queue in o.pending.values() for m in queue if isinstance(m, tuple)]

    @staticmethod
    def lowest_free(p, start=0):
        n = start
        while n in p.fds:
            n += 1
        return n

    def desc(self, p, h):
        fd = p.handles.get(h)
        return (fd, p.fds[fd][0]) if fd is not None and fd in p.fds else (None, None)

    def new_handle(self):
        self.next_handle += 1
        return self.next_handle

    def install(self, p, h, desc, cloexec, number=None):
        fd = self.lowest_free(p) if number is None else number
        p.fds[fd] = [desc, cloexec]
        p.handles[h] = fd
        return fd

    def release(self, p, fd):
        p.fds.pop(fd, None)
        for h in [h for h, n in p.handles.items() if n == fd]:
            del p.handles[h]

    def fork(self, p):
        child = Proc({fd: [d, c] for fd, (d, c) in p.fds.items()}, dict(p.handles), p)
        self.procs.append(child)
        return child

    def own_group(self, p):
        return self.procs.index(p) + 1

    def group_of(self, p):
        return [q for q in self.procs if q.alive and q.group == p.group]

    def end(self, p):
        p.alive = False
        p.fds = {}

    def exec(self, p):
        for fd in [fd for fd, (_, c) in p.fds.items() if c]:
            self.release(p, fd)
        p.actions = {s: a for s, a in p.actions.items() if a == "IGNORE"}  # handlers go with the code

    def can_write(self, d, n):
        o = d.obj
        if o.kind in ("file", "given"):
            return True
        if o.kind == "sock":
            peer = "b" if d.end == "a" else "a"
            if self.holders(o, (peer,)) == 0:
                return False
            queue = o.pending[peer]
            return len(queue) < 8 and sum(m for m in queue if isinstance(m, int)) + n <= 100000
        if self.holders(o, ("r", "rw")) == 0:
            return False  # SIGPIPE
        return d.nonblock or o.hi + n <= PIPE_CAPACITY

    def wrote(self, d, n):
        o = d.obj
        if o.kind == "sock":
            o.pending["b" if d.end == "a" else "a"].append(n)
        elif o.kind not in ("file", "given"):
            room = PIPE_CAPACITY - o.hi
            if n <= room:
                o.lo += n
                o.hi += n
            else:  # a non-blocking write into a full pipe: partial, or EAGAIN
                o.hi = PIPE_CAPACITY
                o.lo = min(o.lo + max(0, room - 4096), PIPE_CAPACITY) if n > 4096 else o.lo

    def can_read(self, d):
        o = d.obj
        if o.kind in ("file", "given") or d.nonblock:
            return True
        if o.kind == "sock":
            peer = "b" if d.end == "a" else "a"
            queue = o.pending[d.end]
            if queue and isinstance(queue[0], tuple):
                return False  # a descriptor waits: recvmsg takes it
            return bool(queue) or (not o.dgram and self.holders(o, (peer,)) == 0)
        return o.lo > 0 or self.holders(o, ("w", "rw")) == 0

    def read(self, d, n):
        o = d.obj
        if o.kind == "sock":
            queue = o.pending[d.end]
            if o.dgram:
                if queue:
                    queue.pop(0)
            else:
                left = n
                while queue and left > 0 and isinstance(queue[0], int):
                    took = min(queue[0], left)
                    queue[0] -= took
                    left -= took
                    if queue[0] == 0:
                        queue.pop(0)
                # The kernel reads on into a byte that carries a descriptor,
                # and stops after it: without room for it, the descriptor
                # is closed.
                if queue and left > 0:
                    queue.pop(0)
        elif o.kind not in ("file", "given"):
            o.lo = max(0, o.lo - n)
            o.hi = max(0, o.hi - n)


class Writer:
    """Writes the C program while it plays each step against a World; a
    step that makes no sense any more (after shrinking) is left out."""

    def __init__(self):
        self.lines = []
        self.forks = 0
        self.world = World()

    def emit(self, depth, text):
        self.lines.append("    " * depth + text)

    def block(self, p, ops, depth):
        for op in ops:
            self.step(p, op, depth)

    def fork_child(self, p, depth):
        """`pid_t cN = fork(); if (cN == 0) {`: the child's name, and the child."""
        self.forks += 1
        c = f"c{self.forks}"
        self.emit(depth, f"pid_t {c} = fork();")
        self.emit(depth, f"if ({c} == 0) {{")
        return c, self.world.fork(p)

    def step(self, p, op, depth):
        w = self.world
        kind = op[0]
        if kind == "checkpoint":
            self.emit(depth, "checkpoint();")
        elif kind == "pipe":
            _, hr, hw, flags = op
            if len(p.fds) > 12:
                return
            nonblock = "O_NONBLOCK" in flags
            o = Obj("pipe")
            fr = w.install(p, hr, Desc(o, "r", nonblock), "O_CLOEXEC" in flags)
            fw = w.install(p, hw, Desc(o, "w", nonblock), "O_CLOEXEC" in flags)
            call = f"pipe2(p, {' | '.join(flags)})" if flags else "pipe(p)"
            self.emit(depth, f"{call}; /* {fr} reads, {fw} writes */")
        elif kind == "socketpair":
            _, ha, hb, type_, flags = op
            if len(p.fds) > 12:
                return
            o = Obj("sock", dgram=type_ == "DGRAM")
            w.sockets.append(o)
            nonblock = "SOCK_NONBLOCK" in flags
            fa = w.install(p, ha, Desc(o, "a", nonblock), "SOCK_CLOEXEC" in flags)
            fb = w.install(p, hb, Desc(o, "b", nonblock), "SOCK_CLOEXEC" in flags)
            self.emit(depth, f"socketpair(AF_UNIX, {' | '.join(['SOCK_' + type_] + flags)}, 0, p); /* {fa}, {fb} */")
        elif kind == "open":
            _, h, name, mode, flags = op
            if len(p.fds) > 12 or (mode == "r" and name not in w.files):
                return
            access = {"r": "O_RDONLY", "w": "O_WRONLY", "rw": "O_RDWR"}[mode]
            if mode != "r":
                w.files.add(name)
            fd = w.install(p, h, Desc(Obj("file"), mode, append="O_APPEND" in flags), "O_CLOEXEC" in flags)
            shown = " | ".join([access] + flags)
            self.emit(depth, f'open("{name}", {shown}, 0644); /* {fd} */')
        elif kind == "mkfifo":
            if not w.fifo:
                w.fifo = True
                w.fifo_obj = Obj("fifo")
                self.emit(depth, f'mkfifo("{FIFO}", 0644);')
        elif kind == "open_fifo":
            _, h, mode, nonblock = op
            if not w.fifo or len(p.fds) > 12:
                return
            o = w.fifo_obj
            end = {"r": "r", "w": "w", "rw": "rw"}[mode]
            if not nonblock and mode == "r" and w.holders(o, ("w", "rw")) == 0:
                return  # would wait for a writer forever
            if mode == "w" and w.holders(o, ("r", "rw")) == 0:
                if not nonblock:
                    return
                self.emit(depth, f'open("{FIFO}", O_WRONLY | O_NONBLOCK); /* ENXIO: no reader */')
                return
            fd = w.install(p, h, Desc(o, end, nonblock), False)
            access = {"r": "O_RDONLY", "w": "O_WRONLY", "rw": "O_RDWR"}[mode]
            self.emit(depth, f'open("{FIFO}", {access}{" | O_NONBLOCK" if nonblock else ""}); /* {fd} */')
        elif kind in ("write", "send"):
            _, h, n = op
            fd, d = w.desc(p, h)
            if d is None or d.end == "r" or (d.obj.kind == "file" and d.end == "r"):
                return
            if kind == "send" and d.obj.kind != "sock":
                return
            if not w.can_write(d, n):
                return
            w.wrote(d, n)
            call = f"send({fd}, data, {n}, 0)" if kind == "send" else f"write({fd}, data, {n})"
            self.emit(depth, f"{call};")
        elif kind in ("read", "recv"):
            _, h, n = op
            fd, d = w.desc(p, h)
            if d is None or d.end == "w":
                return
            if kind == "recv" and d.obj.kind != "sock":
                return
            if not w.can_read(d):
                return
            w.read(d, n)
            call = f"recv({fd}, in, {n}, 0)" if kind == "recv" else f"read({fd}, in, {n})"
            self.emit(depth, f"{call};")
        elif kind == "give":
            _, hs, hf = op
            fs, ds = w.desc(p, hs)
            ff, df = w.desc(p, hf)
            if ds is None or df is None or ds.obj.kind != "sock" or not w.can_write(ds, 1):
                return
            ds.obj.pending["b" if ds.end == "a" else "a"].append(("fd", df))
            self.emit(depth, f"give({fs}, {ff});")
        elif kind == "take":
            _, hs, hnew = op
            fs, ds = w.desc(p, hs)
            if ds is None or ds.obj.kind != "sock" or len(p.fds) > 12:
                return
            queue = ds.obj.pending[ds.end]
            if not queue or not isinstance(queue[0], tuple):
                return
            _, given = queue.pop(0)
            fd = w.install(p, hnew, given, False)
            self.emit(depth, f"take({fs}); /* {fd} */")
        elif kind == "lseek":
            _, h, offset, whence = op
            fd, d = w.desc(p, h)
            if d is None or d.obj.kind != "file":
                return
            self.emit(depth, f"lseek({fd}, {offset}, {whence});")
        elif kind in ("dup", "dup2", "dup3", "dupfd"):
            fd, d = w.desc(p, op[2])
            if d is None or len(p.fds) > 12:
                return
            if kind == "dup":
                new = w.install(p, op[1], d, False)
                self.emit(depth, f"dup({fd}); /* {new} */")
            elif kind in ("dup2", "dup3"):
                target = op[3]
                if target == fd or target == CHECKPOINT_FD:
                    return
                w.release(p, target)
                cloexec = kind == "dup3"
                w.install(p, op[1], d, cloexec, target)
                self.emit(depth, f"dup3({fd}, {target}, O_CLOEXEC);" if cloexec else f"dup2({fd}, {target});")
            else:
                _, _, _, low, cloexec = op
                new = w.install(p, op[1], d, cloexec, w.lowest_free(p, low))
                command = "F_DUPFD_CLOEXEC" if cloexec else "F_DUPFD"
                self.emit(depth, f"fcntl({fd}, {command}, {low}); /* {new} */")
        elif kind == "setfd":
            _, h, cloexec = op
            fd, d = w.desc(p, h)
            if d is None:
                return
            p.fds[fd][1] = cloexec
            self.emit(depth, f"fcntl({fd}, F_SETFD, {'FD_CLOEXEC' if cloexec else '0'});")
        elif kind == "setfl":
            _, h, flags = op
            fd, d = w.desc(p, h)
            if d is None:
                return
            d.nonblock, d.append = "O_NONBLOCK" in flags, "O_APPEND" in flags
            self.emit(depth, f"fcntl({fd}, F_SETFL, {' | '.join(flags) if flags else '0'});")
        elif kind == "close":
            fd, d = w.desc(p, op[1])
            if d is None:
                return
            w.release(p, fd)
            self.emit(depth, f"close({fd});")
        elif kind == "mmap_shared":
            self.emit(depth, "mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);")
        elif kind == "exec_missing":
            self.emit(depth, 'execlp("no-such-program", "no-such-program", (char *)NULL);')
        elif kind == "setpgid":
            p.group = w.own_group(p)
            self.emit(depth, "setpgid(0, 0);")
        elif kind == "setsid":  # fails (EPERM) for a group's leader
            p.group = w.own_group(p)
            self.emit(depth, "setsid();")
        elif kind == "alarm":  # a second's wait: its handler stays, SIGALRM is not blocked after
            p.actions["SIGALRM"] = "HANDLE"
            p.blocked.discard("SIGALRM")
            self.emit(depth, "alarm_and_wait();")
        elif kind == "action":
            _, signal, how = op
            p.actions[signal] = how
            self.emit(depth, f"on({signal}, {how});")
        elif kind == "mask":
            _, how, signal = op
            (p.blocked.add if how == "SIG_BLOCK" else p.blocked.discard)(signal)
            self.emit(depth, f"mask({how}, {signal});")
        elif kind == "kill_group":
            # To its own group: the others ignore it, it takes it itself
            # (a handler runs as kill returns), so that nothing ends or
            # wakes that the program does not control. Never the group it
            # started in: strace is there too.
            _, signal = op
            if p.group == 0 or not p.takes(signal) or any(q.actions.get(signal) != "IGNORE" or signal in q.blocked
                                          for q in w.group_of(p) if q is not p):
                return
            self.emit(depth, f"kill(0, {signal});")
        elif kind == "fork_wait":
            _, child_ops, end = op
            c, child = self.fork_child(p, depth)
            self.block(child, child_ops, depth + 1)
            if end[0] == "exec_helper":
                w.exec(child)
                self.emit(depth + 1, 'execl(HELPER, "oracle_helper", (char *)NULL);')
                self.emit(depth + 1, "_exit(127);")
            else:
                self.emit(depth + 1, f"{end[0]}({end[1]});")
            w.end(child)
            self.emit(depth, "}")
            self.emit(depth, f"waitpid({c}, &status, 0);")
        elif kind == "fork_zombie":
            _, child_ops, code, parent_ops = op
            c, child = self.fork_child(p, depth)
            self.block(child, child_ops, depth + 1)
            self.emit(depth + 1, f"_exit({code});")
            w.end(child)
            self.emit(depth, "}")
            self.emit(depth, f"waitid(P_PID, (id_t){c}, &info, WEXITED | WNOWAIT); /* a zombie until waitpid */")
            self.block(p, parent_ops, depth)
            self.emit(depth, f"waitpid({c}, &status, 0);")
        elif kind == "fork_stop":
            # Stopped and continued: its parent sees it stopped, then
            # lets it go on to its end.
            _, code = op
            c, child = self.fork_child(p, depth)
            self.emit(depth + 1, "raise(SIGSTOP);")
            self.emit(depth + 1, "checkpoint();")
            self.emit(depth + 1, f"_exit({code});")
            self.emit(depth, "}")
            self.emit(depth, f"waitpid({c}, &status, WUNTRACED);")
            self.emit(depth, "checkpoint();")
            self.emit(depth, f"kill({c}, SIGCONT);")
            if p.actions.get("SIGCHLD") == "HANDLE":  # the continue's SIGCHLD may interrupt it
                self.emit(depth, f"while (waitpid({c}, &status, 0) < 0) {{")
                self.emit(depth, "}")
            else:
                self.emit(depth, f"waitpid({c}, &status, 0);")
            w.end(child)
        elif kind == "fork_drain":
            # More than the pipe has room for: the parent waits in its
            # write while its child reads, looked at as it waits and after.
            _, hw, hr, n = op
            fw, dw = w.desc(p, hw)
            fr, dr = w.desc(p, hr)
            if dw is None or dr is None or dw.obj is not dr.obj or dw.obj.kind not in ("pipe", "fifo"):
                return
            o = dw.obj
            if dw.end == "r" or dr.end == "w" or dw.nonblock or dr.nonblock or o.lo != o.hi or o.hi + n <= PIPE_CAPACITY:
                return
            c, child = self.fork_child(p, depth)
            self.emit(depth + 1, "checkpoint(); /* its parent waits in write: the pipe is full */")
            self.emit(depth + 1, f"read({fr}, in, 100);")
            self.emit(depth + 1, "checkpoint();")
            self.emit(depth + 1, f"drain({fr}, {o.hi + n - 100});")
            self.emit(depth + 1, "checkpoint();")
            self.emit(depth + 1, "_exit(0);")
            self.emit(depth, "}")
            self.emit(depth, f"write({fw}, data, {n}); /* waits for room until its child reads */")
            w.end(child)
            o.lo = o.hi = 0
            self.emit(depth, f"waitpid({c}, &status, 0);")
        elif kind == "fork_pause":
            _, sig, parent_ops, poll = op
            # It must end the child, or wake it from pause (a handler).
            if not (p.dies_of(sig) or (p.takes(sig) and p.actions.get(sig) != "IGNORE")):
                sig = "SIGKILL"
            # A signal it catches could come before it is in pause, and
            # then it would wait forever: it is blocked until the child
            # waits for it in sigsuspend.
            caught = not p.dies_of(sig)
            if caught:
                self.emit(depth, f"mask(SIG_BLOCK, {sig});")
                p.blocked.add(sig)
            c, child = self.fork_child(p, depth)
            self.emit(depth + 1, f"wait_for({sig});" if caught else "pause();")
            self.emit(depth + 1, "_exit(0);")
            self.emit(depth, "}")
            if caught:
                self.emit(depth, f"mask(SIG_UNBLOCK, {sig});")
                p.blocked.discard(sig)
            self.block(p, parent_ops, depth)
            if poll:  # nothing to collect yet: it waits in pause
                self.emit(depth, f"waitpid({c}, &status, WNOHANG);")
            w.end(child)
            self.emit(depth, f"kill({c}, {sig});")
            self.emit(depth, f"waitpid({c}, &status, 0);")


def program(ops, seed):
    writer = Writer()
    main = writer.world.start()
    writer.block(main, ops, 1)
    body = "\n".join(writer.lines)
    return f"""/* An exercise made by tests/oracle/generate.py from seed {seed}. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "checkpoint.h"
#include "passing.h"
#include "draining.h"
#include "signals.h"

#ifndef HELPER
#define HELPER "oracle_helper"
#endif



int main(void)
{{
    int p[2];
    int status;
    siginfo_t info;
    memset(data, 'x', sizeof data);
    (void)p;
    (void)status;
    (void)info;
    (void)in;
{body}
    checkpoint();
    return 0;
}}
"""


class Generator:
    """Random steps, each one that makes sense where it is taken."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.budget = self.rng.randint(8, 30)

    def ops(self, writer, p, depth, length):
        rng = self.rng
        ops = []
        since_checkpoint = 0
        while length > 0 and self.budget > 0:
            length -= 1
            self.budget -= 1
            op = self.one(writer, p, depth)
            if op is None:
                continue
            before = len(writer.lines)
            writer.step(p, op, depth)
            if len(writer.lines) == before:
                continue  # it made no sense here after all
            ops.append(op)
            since_checkpoint += 1
            if since_checkpoint >= rng.randint(2, 4):
                ops.append(("checkpoint",))
                writer.step(p, ("checkpoint",), depth)
                since_checkpoint = 0
        return ops

    def one(self, writer, p, depth):
        rng = self.rng
        w = writer.world
        handles = [h for h in p.handles if p.handles[h] in p.fds]
        choice = rng.choices(
            ["pipe", "socketpair", "open", "fifo", "write", "read", "lseek", "dup", "fcntl", "close",
             "fork", "exec_missing", "setpgid", "give", "take", "action", "mask", "kill_group", "setsid",
             "mmap_shared", "alarm", "drain"],
            weights=[10, 6, 8, 3, 16, 14, 4, 10, 6, 10, 12 if depth < 3 else 0, 1, 1 if depth > 1 else 0, 6, 20,
                     4, 3, 2, 1 if depth > 1 else 0, 1, 0.4, 5 if depth < 3 else 0],
        )[0]
        h = rng.choice(handles) if handles else None
        if choice == "pipe":
            flags = rng.choice([[], [], ["O_CLOEXEC"], ["O_NONBLOCK"], ["O_CLOEXEC", "O_NONBLOCK"]])
            return ("pipe", w.new_handle(), w.new_handle(), flags)
        if choice == "socketpair":
            flags = rng.choice([[], [], ["SOCK_CLOEXEC"], ["SOCK_NONBLOCK"]])
            return ("socketpair", w.new_handle(), w.new_handle(), rng.choice(["STREAM", "DGRAM"]), flags)
        if choice == "open":
            mode = rng.choice(["r", "w", "rw", "rw"])
            flags = [] if mode == "r" else ["O_CREAT"]
            flags += [f for f in ("O_APPEND", "O_TRUNC", "O_CLOEXEC") if rng.random() < 0.25 and (f != "O_TRUNC" or mode != "r")]
            return ("open", w.new_handle(), rng.choice(NAMES), mode, flags)
        if choice == "fifo":
            if not w.fifo:
                return ("mkfifo",)
            return ("open_fifo", w.new_handle(), rng.choice(["r", "w", "rw", "rw"]), rng.random() < 0.4)
        if choice == "action":  # SIGCHLD ignored is its own lesson: no zombies at all
            signal = rng.choice(CHOSEN)
            return ("action", signal, rng.choice([a for a in ACTIONS if signal != "SIGCHLD" or a != "IGNORE"]))
        if choice == "mask":
            return ("mask", rng.choice(["SIG_BLOCK", "SIG_BLOCK", "SIG_UNBLOCK"]), rng.choice(CHOSEN))
        if choice == "kill_group":
            return ("kill_group", rng.choice(CHOSEN))
        if choice == "setsid":
            return ("setsid",)
        if choice == "mmap_shared":
            return ("mmap_shared",)
        if choice == "alarm":
            return ("alarm",)
        if h is None:
            return None
        sizes = [1, 3, 10, 100, 4096, 5000, 70000]
        if choice == "write":
            n = rng.choice(sizes)
            n = min(n, 200) if rng.random() < 0.7 else n
            return (rng.choice(["write", "write", "send"]), h, n)
        if choice == "read":
            return (rng.choice(["read", "read", "recv"]), h, rng.choice(sizes))
        if choice == "lseek":
            return ("lseek", h, rng.choice([0, 0, 2, 5, 100]), rng.choice(["SEEK_SET", "SEEK_CUR", "SEEK_END"]))
        if choice == "dup":
            how = rng.choice(["dup", "dup", "dup2", "dup3", "dupfd"])
            if how == "dup":
                return ("dup", w.new_handle(), h)
            if how in ("dup2", "dup3"):
                return (how, w.new_handle(), h, rng.randint(0, 12))
            return ("dupfd", w.new_handle(), h, rng.choice([5, 10, 20]), rng.random() < 0.5)
        if choice == "fcntl":
            if rng.random() < 0.5:
                return ("setfd", h, rng.random() < 0.6)
            return ("setfl", h, rng.choice([[], ["O_NONBLOCK"], ["O_APPEND"], ["O_APPEND", "O_NONBLOCK"]]))
        if choice == "close":
            return ("close", h)
        sockets = [s for s in handles if (w.desc(p, s)[1] or Desc(Obj("file"), "r")).obj.kind == "sock"]
        if choice == "give" and sockets:
            return ("give", rng.choice(sockets), h)
        if choice == "take" and sockets:
            return ("take", rng.choice(sockets), w.new_handle())
        if choice == "drain":
            ends = [(hw, hr) for hw in handles for hr in handles
                    if hw != hr and w.desc(p, hw)[1].obj is w.desc(p, hr)[1].obj
                    and w.desc(p, hw)[1].obj.kind in ("pipe", "fifo")]
            if ends:
                hw, hr = rng.choice(ends)
                return ("fork_drain", hw, hr, rng.choice([65537, 70000]))
            return None
        if choice == "exec_missing":
            return ("exec_missing",)
        if choice == "setpgid":
            return ("setpgid",)
        return self.fork(writer, p, depth)

    def fork(self, writer, p, depth):
        rng = self.rng
        how = rng.choice(["wait", "wait", "zombie", "pause", "stop"])
        # The child's (or the parent's) steps are chosen against a copy of
        # the world as it will be then; the real writer plays them after.
        trial = copy.deepcopy(writer)
        parent = trial.world.procs[writer.world.procs.index(p)]
        child = trial.world.fork(parent)
        try:
            return self.fork_steps(trial, parent, child, how, depth)
        finally:  # the handles named in there stay theirs
            writer.world.next_handle = trial.world.next_handle

    def fork_steps(self, trial, parent, child, how, depth):
        rng = self.rng
        if how == "pause":
            ops = self.ops(trial, parent, depth, rng.randint(1, 5))
            return ("fork_pause", rng.choice(SIGNALS + CHOSEN), ops, rng.random() < 0.5)
        if how == "stop":
            return ("fork_stop", rng.randint(0, 5))
        child_ops = self.ops(trial, child, depth + 1, rng.randint(1, 6))
        child_ops.append(("checkpoint",))
        if how == "zombie":
            trial.world.end(child)
            ops = self.ops(trial, parent, depth, rng.randint(1, 4))
            ops.append(("checkpoint",))
            return ("fork_zombie", child_ops, rng.randint(0, 5), ops)
        end = rng.choice([("_exit", rng.randint(0, 5)), ("exit", rng.randint(0, 5)), ("exec_helper",)])
        return ("fork_wait", child_ops, end)


def generate(seed):
    generator = Generator(seed)
    writer = Writer()
    main = writer.world.start()
    ops = generator.ops(writer, main, 1, 40)
    return ops


def shrink(ops):
    """Each smaller list of steps: one step left out, or one block made smaller."""
    for i in range(len(ops)):
        yield ops[:i] + ops[i + 1:]
    for i, op in enumerate(ops):
        for place, part in enumerate(op):
            if isinstance(part, list) and part and isinstance(part[0], tuple):
                for smaller in shrink(part):
                    changed = list(op)
                    changed[place] = smaller
                    yield ops[:i] + [tuple(changed)] + ops[i + 1:]


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    seed = int(sys.argv[1])
    sys.stdout.write(program(generate(seed), seed))
