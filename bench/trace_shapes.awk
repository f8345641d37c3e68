# Traces of about n lines in four shapes, as `strace -f -ttt -T -y` writes
# them, for the timeline tool's bench. Usage:
#   awk -v shape=SHAPE -v n=1000000 -f trace_shapes.awk
# classifier: phrase_classifier reading a phrase one byte at a time and
#   echoing it in 4 KiB writes (the reads fold into few steps);
# echo: a process copying a pipe into another in reads and writes whose
#   sizes keep changing (nothing folds: a step a line);
# pipes: pipes made and closed (a channel and three steps for each);
# forks: 10,000 children, each first seen before its parent's clone
#   returns, writing lines of their own, then collected.
function line(pid, text) { t += 0.000002; printf "%d %.6f %s\n", pid, t, text }
BEGIN {
    t = 1000
    line(7, "execve(\"/bin/shape\", [\"shape\"], 0x0 /* 1 var */) = 0 <0.000100>")
    if (shape == "classifier") {
        line(7, "openat(AT_FDCWD</w>, \"FIFOVEK\", O_RDONLY) = 4</w/FIFOVEK> <0.100000>")
        for (i = 0; i < n; i++) {
            if (i % 65536 == 0) line(8, "write(3</w/FIFOVEK>, \"abcdefgh\"..., 65536) = 65536 <0.000100>")
            line(7, sprintf("read(4</w/FIFOVEK>, \"%s\", 1) = 1 <0.000001>", i % 2 ? "a" : "7"))
            if (i % 4096 == 4095) line(7, "write(1</dev/pts/0>, \"7a7a7a7a\"..., 4096) = 4096 <0.000010>")
        }
    } else if (shape == "echo") {
        for (i = 0; i < n / 2; i++) {
            size = i % 7 + 1
            line(7, sprintf("read(3<pipe:[11]>, \"%s\", 64) = %d <0.000001>", substr("abcdefg", 1, size), size))
            line(7, sprintf("write(4<pipe:[12]>, \"%s\", %d) = %d <0.000001>", substr("abcdefg", 1, size), size, size))
        }
    } else if (shape == "pipes") {
        for (i = 0; i < n / 3; i++) {
            inode = 100000 + i
            line(7, sprintf("pipe2([3<pipe:[%d]>, 4<pipe:[%d]>], 0) = 0 <0.000001>", inode, inode))
            line(7, sprintf("close(3<pipe:[%d]>) = 0 <0.000001>", inode))
            line(7, sprintf("close(4<pipe:[%d]>) = 0 <0.000001>", inode))
        }
    } else if (shape == "forks") {
        per = int(n / 10000) - 6
        for (c = 0; c < 10000; c++) {
            child = 20000 + c
            line(7, "clone(child_stack=NULL, flags=CLONE_CHILD_CLEARTID|CLONE_CHILD_SETTID|SIGCHLD <unfinished ...>")
            line(child, "set_robust_list(0x7f0000000a20, 24) = 0 <0.000001>")
            line(7, sprintf("<... clone resumed>, child_tidptr=0x7f0000000a10) = %d <0.000050>", child))
            for (k = 0; k < per; k++)
                line(child, sprintf("write(1</dev/pts/0>, \"line %d\\n\", %d) = %d <0.000001>", k, 6 + length(k), 6 + length(k)))
            line(child, "exit_group(0) = ?")
            line(child, "+++ exited with 0 +++")
            line(7, sprintf("wait4(-1, [{WIFEXITED(s) && WEXITSTATUS(s) == 0}], 0, NULL) = %d <0.000010>", child))
        }
    }
    line(7, "exit_group(0) = ?")
    line(7, "+++ exited with 0 +++")
}
