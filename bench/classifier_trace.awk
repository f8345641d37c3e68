# A trace of phrase_classifier reading n bytes one at a time and echoing
# them in 4 KiB writes, as `strace -f -ttt -T -y` writes it: one line per
# call. Usage: awk -v n=1000000 -f classifier_trace.awk
BEGIN {
    t = 1000
    printf "7 %.6f execve(\"/bin/phrase_classifier\", [\"phrase_classifier\"], 0x0 /* 1 var */) = 0 <0.000100>\n", t
    printf "8 %.6f execve(\"/bin/send_mixed\", [\"send_mixed\"], 0x0 /* 1 var */) = 0 <0.000100>\n", t
    printf "7 %.6f mknodat(AT_FDCWD</w>, \"FIFOVEK\", S_IFIFO|0666) = 0 <0.000050>\n", t
    printf "7 %.6f openat(AT_FDCWD</w>, \"FIFOVEK\", O_RDONLY) = 4</w/FIFOVEK> <0.100000>\n", t
    for (i = 0; i < n; i++) {
        if (i % 65536 == 0) printf "8 %.6f write(3</w/FIFOVEK>, \"abcdefgh\"..., 65536) = 65536 <0.000100>\n", t
        t += 0.000002
        printf "7 %.6f read(4</w/FIFOVEK>, \"%s\", 1) = 1 <0.000001>\n", t, (i % 2 ? "a" : "7")
        if (i % 4096 == 4095) printf "7 %.6f write(1</dev/pts/0>, \"7a7a7a7a\"..., 4096) = 4096 <0.000010>\n", t
    }
    printf "7 %.6f read(4</w/FIFOVEK>, \"\", 1) = 0 <0.000001>\n", t
}
