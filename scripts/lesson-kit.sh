# The helpers ./demo's lessons are written with, sourced by it (and by
# process-lessons, for the list of lessons): read the list, start a
# program on a terminal of its own or run one to its end (recorded by
# syscall_timeline when the lesson is traced), show what it printed, take a
# snapshot of the process table, and stop all a lesson started. They use
# the demo's $bin, $timeline, $traces, $work and sessions.

# choose_language: what gettext needs to speak the chosen language, by
# the tools' rule: PROCESS_LESSONS_LANG (process-lessons --lang), else the
# locale; a locale this machine has not generated is spoken all the same,
# through C.UTF-8 and LANGUAGE; the C locale is English. The catalogues
# are in $locales (share/locale).
message_env=(LC_ALL=C)
choose_language() {
    local asked=${LC_ALL:-${LC_MESSAGES:-${LANG:-C}}} name
    message_env=(LC_ALL=C)
    case ${PROCESS_LESSONS_LANG:-} in
    es) message_env=(LC_ALL=C.UTF-8 LANGUAGE=es) ;;
    en) ;;
    *)
        if [[ $asked != C && $asked != POSIX && $asked != C.* ]]; then
            name=${asked%%[.@]*}
            message_env=(LC_ALL=C.UTF-8 "LANGUAGE=${LANGUAGE:-$name:${name%%_*}}")
        fi
        ;;
    esac
}

# t MESSAGE [PART...]: the message in the chosen language, its {1}, {2}...
# replaced by the parts. English where gettext (gettext-base) is missing.
t() {
    local text=$1 i=1 part
    shift
    if [[ ${message_env[0]} != LC_ALL=C ]] && command -v gettext >/dev/null; then
        text=$(env "${message_env[@]}" TEXTDOMAIN=process-lessons TEXTDOMAINDIR="$locales" \
            gettext -- "$text")
    fi
    for part in "$@"; do
        text=${text//"{$i}"/$part}
        i=$((i + 1))
    done
    printf '%s' "$text"
}

# lesson_sources LIST: the lessons' sources in the order of the list
# (lessons.txt, the one list of lessons), one a line; lesson_names LIST:
# their names.
lesson_sources() { grep '^[a-z]*/[a-z_]*\.cpp$' "$1"; }
lesson_names() { sed -n 's|^[a-z]*/\([a-z_]*\)\.cpp$|\1|p' "$1"; }

# is_lesson NAME LIST: whether NAME is a whole line of the names (not
# `lesson_names | grep -q`, whose early end pipefail would count as a
# failure).
is_lesson() { [[ -n $1 && $'\n'$(lesson_names "$2")$'\n' == *$'\n'"$1"$'\n'* ]]; }

# play NAME: the lesson's own steps (a function lesson_NAME in ./demo);
# a lesson that has none runs to its end on a terminal, its output shown.
play() {
    if declare -F "lesson_$1" >/dev/null; then "lesson_$1"; else run "$1"; fi
}

# Polls a condition. The deadline only stops a hang: on a busy machine (or
# with every lesson of the book traced at once) a step may take a while,
# and parent_exit_watch's parent alone sleeps ten seconds.
until_true() {
    local deadline=$((SECONDS + 40))
    until eval "$1"; do
        if ((SECONDS >= deadline)); then
            echo "demo: $(t "gave up waiting for: {1}" "$1")" >&2
            exit 1
        fi
        sleep 0.05
    done
}

# Sets `tracer`, the words that record the next program of the lesson into
# $traces (none when not tracing), and `tracer_line`, the same for a shell.
traced() {
    tracer=() tracer_line=
    if [[ -n $traces ]]; then
        tracer=("$timeline" --record "$traces" --)
        tracer_line="$(printf '%q ' "${tracer[@]}")"
    fi
}

# start NAME [INPUT]: runs the program in the background on a terminal of
# its own (script), as in a second window: its output comes line by line
# into NAME.out even when the demo's own output goes into a file or a pipe.
# A shell stays the terminal's session leader after the program ends, so
# that its end hangs up nothing it left running. Sets $pid.
start() {
    local name=$1 input=${2:-/dev/null}
    rm -f "$name.sid"
    traced
    setsid script -qfec "stty -onlcr; echo \$\$ >$name.sid; $tracer_line'$bin/$name' <'$input'; exec sleep 3600" \
        /dev/null </dev/null >"$name.out" 2>&1 &
    until_true "[[ -s $name.sid ]]"
    sessions+=("$(cat "$name.sid")")
    until_true "pgrep -s ${sessions[-1]} -x ${name:0:15} >/dev/null"
    pid=$(pgrep -o -s "${sessions[-1]}" -x "${name:0:15}") # the oldest: not a child
    echo "\$ $name          # $(t "started as pid {1}" "$pid")"
}

# run NAME: runs a short program to its end on a terminal; prints its pid.
run() {
    traced
    script -qfec "stty -onlcr; echo \$\$ >$1.pid; exec $tracer_line'$bin/$1'" /dev/null </dev/null >"$1.out" 2>&1
    # Recorded, the program is strace's child: its pid opens the trace.
    if [[ -n $traces ]]; then awk 'NR == 1 { print $1 }' "$(ls "$traces"/*.trace | tail -n 1)" >"$1.pid"; fi
    echo "\$ $1          # $(t "ran as pid {1}" "$(cat "$1.pid")")"
    cat "$1.out"
}

# show NAME: what the program printed since the last look.
declare -A shown
show() {
    local size
    size=$(stat -c %s "$1.out")
    tail -c "+$((${shown[$1]:-0} + 1))" "$1.out"
    shown[$1]=$size
}

# snapshot CAPTION PID...: the processes, as the system's ps shows them
# (its STAT column), then the first one's family in words, with its pipes,
# where family_watch is built.
snapshot() {
    local caption=$1
    shift
    echo "--- $caption"
    ps -o pid,ppid,stat,etime,cmd --pid "$(IFS=,; echo "$*")" | sed 's/^/    /'
    if [[ -x $bin/family_watch ]]; then
        "$bin/family_watch" --once "$1" | sed 's/^./    &/' || true
    fi
}

state() { ps -o stat= --pid "$1" 2>/dev/null | cut -c1; }

# The recordings of the programs still running stop where the lesson stops:
# SIGTERM ends a recording cleanly, its trace whole up to then.
# A lesson that started nothing in the background has none to stop (and
# `pgrep -s 0` would mean the demo's own session, where the other lessons
# of the book are traced at the same time).
stop_recordings() {
    local sid
    ((${#sessions[@]} > 0)) || return 0
    for sid in "${sessions[@]}"; do pkill -TERM -s "$sid" -x strace || true; done
    until_true "! pgrep -x strace -s $(IFS=,; echo "${sessions[*]}") >/dev/null"
}

# Whether a process of the lesson's sessions still runs. (A zombie has
# ended; only its parent can still collect it.)
still_running() {
    local sid
    for sid in "${sessions[@]}"; do
        # grep reads all (no -q): an early end would be ps's SIGPIPE,
        # which pipefail counts.
        ps -o stat= -s "$sid" | grep -v '^Z' >/dev/null && return 0
    done
    return 1
}

# Stops every job the lesson started, also on Ctrl-C, and removes its folder.
cleanup() {
    exec 2>/dev/null # no notices of the jobs it ends
    local sid job
    for sid in "${sessions[@]}"; do pkill -KILL -s "$sid" 2>/dev/null || true; done
    for job in $(jobs -p); do kill -KILL "$job" 2>/dev/null || true; done
    wait 2>/dev/null || true
    # SIGKILL is not instant, and on a busy machine the dying wait for a
    # core: wait until nothing of the lesson still runs, so that the prompt
    # comes back to a clean process table (the deadline only stops a hang).
    local deadline=$((SECONDS + 15))
    while still_running && ((SECONDS < deadline)); do sleep 0.02; done
    rm -rf "$work"
}
