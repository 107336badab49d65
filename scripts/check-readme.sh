#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs what README.md tells a new user to run, as it is written there, so that the README cannot
# drift from the code: the quick start against its demo server, the C++ program and the QML
# program built against the installed package. The README marks what to run with HTML comments
# (invisible when rendered) right before a code block:
#
#   <!-- check-readme: file ~/PATH -->       the block is that file
#   <!-- check-readme: run [until "TEXT"] [expect "TEXT"] [absent "TEXT"] -->
#       the block's commands run from the repository's root and must succeed; with until, they
#       run until TEXT appears in their output (a window, say) and are then stopped; expect and
#       absent say what their output must and must not hold.
#
# What a user's machine has and a test run must not touch is swapped in everywhere: a scratch
# HOME for ~, a scratch prefix for /opt/zendra (so without sudo), a free port for 2121, and the
# offscreen platform for windows. Needs what scripts/install-deps.sh installs.
set -euo pipefail

cd "$(dirname "$0")/.."
root=$(pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zendra-readme.XXXXXX")
background=() # pids of what the README started in the background, and of stopped groups

cleanup() {
    local pid
    for pid in "${background[@]}"; do
        kill -- "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

die() {
    echo "check-readme: FAILED: $*" >&2
    exit 1
}

port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export HOME=$work/home XDG_RUNTIME_DIR=$work/runtime
export QT_QPA_PLATFORM=offscreen QT_FORCE_STDERR_LOGGING=1
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$work/steps"
chmod 700 "$XDG_RUNTIME_DIR"

# Writes the marked files, and each marked command block as steps/NNN.sh with its conditions in
# steps/NNN.conds ("until|expect|absent<TAB>TEXT" lines).
/usr/bin/python3 - "$root/README.md" "$work/steps" "$HOME" "$work/prefix" "$port" <<'PYTHON'
import os, re, sys

readme, steps, home, prefix, port = sys.argv[1:]
lines = open(readme, encoding="utf-8").read().split("\n")
marker = re.compile(r'^\s*<!--\s*check-readme:\s*(file|run)\b(.*?)-->\s*$')


def substituted(text):
    return text.replace("/opt/zendra", prefix).replace("sudo ", "").replace("2121", port)


def block_after(index):
    """The code block that follows line index: fenced, or indented (as in a list item)."""
    while index < len(lines) and not lines[index].strip():
        index += 1
    if index == len(lines):
        sys.exit("check-readme: a marker at the end of README.md has no block")
    first = lines[index]
    indent = len(first) - len(first.lstrip())
    body = []
    if first.strip().startswith("```"):
        index += 1
        while lines[index].strip() != "```":
            body.append(lines[index][indent:])
            index += 1
    else:
        while index < len(lines) and (not lines[index].strip()
                                      or len(lines[index]) - len(lines[index].lstrip()) >= indent):
            body.append(lines[index][indent:])
            index += 1
    return "\n".join(body).strip("\n") + "\n"


count = 0
for number, line in enumerate(lines):
    match = marker.match(line)
    if not match:
        continue
    kind, arguments = match.groups()
    text = substituted(block_after(number + 1))
    if kind == "file":
        path = os.path.join(home, arguments.strip().removeprefix("~/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        open(path, "w", encoding="utf-8").write(text)
        continue
    count += 1
    name = os.path.join(steps, "%03d" % count)
    open(name + ".sh", "w", encoding="utf-8").write(text)
    with open(name + ".conds", "w", encoding="utf-8") as conds:
        for condition, value in re.findall(r'(until|expect|absent)\s+"([^"]*)"', arguments):
            conds.write("%s\t%s\n" % (condition, value))
if count == 0:
    sys.exit("check-readme: README.md marks no commands")
PYTHON

for script in "$work"/steps/*.sh; do
    step=${script%.sh}
    log=$step.log
    until_text=""
    expect=()
    absent=()
    while IFS=$'\t' read -r condition value; do
        case $condition in
        until) until_text=$value ;;
        expect) expect+=("$value") ;;
        absent) absent+=("$value") ;;
        esac
    done <"$step.conds"
    commands=$(cat "$script")
    echo "== $(head -n 1 "$script")"
    if [ -n "$until_text" ]; then
        # A program that runs until it is closed, in a process group of its own to stop it by.
        (cd "$root" && exec setsid bash -e "$script") >"$log" 2>&1 &
        pid=$!
        background+=("-$pid")
        for _ in $(seq 1200); do
            grep -qF -- "$until_text" "$log" && break
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        grep -qF -- "$until_text" "$log" || { cat "$log" >&2; die "no \"$until_text\" from: $commands"; }
        kill -- "-$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    else
        # A job that the block leaves in the background (the demo server) is stopped at the end.
        printf '\n[ -z "${!:-}" ] || echo "$!" >"%s"\n' "$step.pid" >>"$script"
        (cd "$root" && bash -e "$script") >"$log" 2>&1 || { cat "$log" >&2; die "$commands"; }
        if [ -s "$step.pid" ]; then
            background+=("$(cat "$step.pid")")
            for _ in $(seq 200); do
                (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
                sleep 0.1
            done
        fi
    fi
    for text in "${expect[@]}"; do
        grep -qF -- "$text" "$log" || { cat "$log" >&2; die "no \"$text\" from: $commands"; }
    done
    for text in "${absent[@]}"; do
        ! grep -qF -- "$text" "$log" || { cat "$log" >&2; die "\"$text\" from: $commands"; }
    done
done
echo "check-readme: every marked command of README.md works as written"
