#!/bin/bash
# tst_cli_completion.sh COMPLETION_SCRIPT CLI_DIR
# Feeds the bash completion of mzt500-cli partial command lines, as bash
# would split them, and checks what it offers. The built mzt500-cli answers,
# against simulated recorders.
set -u
script=$1
PATH="$2:$PATH"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# shellcheck source=/dev/null
source "$script" || { echo "FAIL: cannot load $script"; exit 1; }

# complete WORD... : the offers for the last word, sorted, one a line.
complete_words()
{
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _mzt500_cli
    ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | sort
}

# expect "DESCRIPTION" "EXPECTED (lines)" WORD...
expect()
{
    local what=$1 wanted=$2
    shift 2
    local got
    got=$(complete_words "$@")
    if [[ $got != "$wanted" ]]; then
        echo "FAIL: $what: mzt500-cli completion of '${*: -1}' after '${*:1:$#-1}'"
        echo "  wanted: $(echo "$wanted" | paste -sd '|')"
        echo "  got:    $(echo "$got" | paste -sd '|')"
        failures=$((failures + 1))
    fi
}

cat > "$work/recorders.json" <<'JSON'
{ "devices": [
  { "kind": "recorder", "serial": "KV000001",
    "files": [ { "id": 0, "size": 100 }, { "id": 2, "size": 1000, "durationMs": 1500 },
               { "id": 3, "size": 2000, "durationMs": 1500 },
               { "id": 12, "size": 3000, "durationMs": 9 },
               { "id": 20, "type": 7, "size": 500 },
               { "id": 21, "type": 2, "size": 500 }, { "id": 22, "type": 2, "size": 500 } ] },
  { "kind": "recorder", "serial": "KV000002",
    "files": [ { "id": 0, "size": 100 }, { "id": 5, "size": 1000, "durationMs": 1 } ] }
] }
JSON
export MZT500_SIMULATOR="$work/recorders.json"

# Commands and options.
expect "all commands" "$(printf '%s\n' archive backup delete devices diff help history list prune restore status update-firmware verify watch | sort)" mzt500-cli ""
expect "a command's beginning" "restore" mzt500-cli re
expect "after an option" "update-firmware" mzt500-cli -q up
expect "options" "$(printf '%s\n' --verbose --version)" mzt500-cli --ver
expect "--overwrite belongs to restore" "--overwrite" mzt500-cli restore a.mzt --o
expect "--overwrite nowhere else" "" mzt500-cli backup a.mzt --o
expect "restore's options" "$(printf '%s\n' --dry-run --device | sort)" mzt500-cli restore a.mzt --d
expect "--json where it belongs" "--json" mzt500-cli list --j
expect "--json nowhere else" "" mzt500-cli delete --j
expect "no guess at a recorder number" "" mzt500-cli --device ""
expect "help names commands" "backup" mzt500-cli help ba
expect "list takes nothing" "" mzt500-cli list ""
expect "--verify after a transfer" "$(printf '%s\n' --verbose --verify --version)" mzt500-cli backup a.mzt --ve
expect "--verify nowhere else" "" mzt500-cli verify a.mzt --veri
expect "comparisons speak JSON" "--json" mzt500-cli diff a.mzt b.mzt --j
expect "history's options" "$(printf '%s\n' --file --folder | sort)" mzt500-cli history --f
expect "no guess at a number to keep" "" mzt500-cli prune --keep ""
expect "no guess at a file to follow" "" mzt500-cli history --file ""

# Archive and update files: only .mzt (or .kv2) files, and folders.
mkdir -p "$work/files/shows" "$work/files/other"
touch "$work/files/club.mzt" "$work/files/club.txt" "$work/files/fw.kv2" "$work/files/shows/a.mzt"
expect "archives and folders" "$(printf '%s\n' "$work/files/club.mzt" "$work/files/other" "$work/files/shows" | sort)" \
    mzt500-cli archive "$work/files/"
expect "backup's archive" "$work/files/club.mzt" mzt500-cli backup "$work/files/cl"
expect "update files" "$work/files/fw.kv2" mzt500-cli update-firmware "$work/files/f"
expect "archive takes one file" "" mzt500-cli archive "$work/files/club.mzt" "$work/files/"
expect "diff takes a second archive" "$work/files/club.mzt" mzt500-cli diff "$work/files/club.mzt" "$work/files/cl"
expect "diff takes two archives" "" mzt500-cli diff a.mzt b.mzt "$work/files/"
expect "a backup folder is a folder" "$(printf '%s\n' "$work/files/other" "$work/files/shows" | sort)" \
    mzt500-cli history --folder "$work/files/"

# Names from the recorder: blanks escaped so that a name stays one argument.
expect "recorder names; a file without one by number" \
    "$(printf '%s\n' 'SEQUENCE\ 02' 'SEQUENCE\ 03' 'SEQUENCE\ 12' SETTINGS 20 UNKNOWN | sort)" \
    mzt500-cli backup new.mzt ""
expect "recorder names, begun" "$(printf '%s\n' 'SEQUENCE\ 02' 'SEQUENCE\ 03' 'SEQUENCE\ 12')" \
    mzt500-cli backup new.mzt SEQ
expect "a name with its blank typed" 'SEQUENCE\ 12' mzt500-cli backup new.mzt 'SEQUENCE\ 1'
expect "a name in quotes" "$(printf '%s\n' 'SEQUENCE 02' 'SEQUENCE 03')" mzt500-cli backup new.mzt '"SEQUENCE 0'
expect "delete never offers the settings" "$(printf '%s\n' 'SEQUENCE\ 02' 'SEQUENCE\ 03' 'SEQUENCE\ 12' 20 UNKNOWN | sort)" \
    mzt500-cli delete ""
expect "the recorder --device names" 'SEQUENCE\ 05' mzt500-cli --device 2 delete ""
expect "--device=N" 'SEQUENCE\ 05' mzt500-cli --device = 2 delete S

# restore: the names come from the archive, not the recorder.
(cd "$work" && mzt500-cli -q backup "$work/two.mzt" 3 12 20) || { echo "FAIL: backup for the restore case"; failures=$((failures + 1)); }
expect "archive entries" "$(printf '%s\n' 'SEQUENCE\ 03' 'SEQUENCE\ 12' 20 | sort)" mzt500-cli restore "$work/two.mzt" ""
expect "no archive, no names" "" mzt500-cli restore "$work/missing.mzt" ""

# Names are data. An archive entry may be named anything; what the
# completion puts on the line must be that name, as one argument, in every
# quoting context, and never run what the name holds. Checked in a real
# interactive bash, whose readline does the inserting.
# archive_with NAME: an archive holding one sequence of that name.
archive_with()
{
    local dir=$work/hostile/$RANDOM$RANDOM
    mkdir -p "$dir"
    printf 'MZT-500\0' > "$dir/KVA"
    printf '\x05\0\0\0\x01\0\0\0\0\0\0\0\0\0\0\0data' > "$dir/$1"
    (cd "$dir" && tar --format=ustar -czf "$dir.mzt" KVA "$1")
    echo "$dir.mzt"
}
interactive_offer()
{
    local archive=$1 opening=$2
    # The shell's function stands in for the program on the command line
    # itself; the completion runs the real one. %q shows the argument
    # unambiguously on one line.
    printf '%s\n' \
        "source '$script'" \
        "mzt500-cli() { if [[ \$1 == restore ]]; then printf '%s{%q}\\n' GOT \"\$3\"; else command mzt500-cli \"\$@\"; fi; }" \
        "cd '$work/hostile'" \
        "mzt500-cli restore $archive $opening"$'\t' \
        "exit" |
        timeout 20 script -qec 'bash --norc --noprofile -i' /dev/null 2>&1 | tr -d '\r' |
        sed -n 's/.*GOT{\(.*\)}$/\1/p'
}
if command -v script >/dev/null && command -v tar >/dev/null; then
    for name in '$(touch pwned)' "it's" 'two  blanks' $'line\nbreak' 'back\slash' 'say "hi"' 'w!z' '`touch pwned`'; do
        archive=$(archive_with "$name")
        printf -v wanted '%q' "$name"
        for opening in "" "'" '"'; do
            # Not yet: readline gives up on a double quote inside an opened
            # double-quoted word.
            [[ $name == *\"* && $opening == \" ]] && continue
            got=$(interactive_offer "$archive" "$opening")
            if [[ $got != "$wanted" ]]; then
                echo "FAIL: hostile name $wanted after '$opening': got '$got'"
                failures=$((failures + 1))
            fi
        done
    done
    if [[ -e $work/hostile/pwned ]]; then
        echo "FAIL: completing a name ran what it holds"
        failures=$((failures + 1))
    fi
else
    echo "SKIP: script(1) or tar missing: no interactive completion cases"
fi

# A recorder that answers slowly offers nothing rather than holding the
# shell; one that is not there neither.
cat > "$work/slow.json" <<'JSON'
{ "devices": [ { "kind": "recorder", "turnaroundUs": 5000000,
                 "files": [ { "id": 0, "size": 100 }, { "id": 2, "size": 1000 } ] } ] }
JSON
MZT500_SIMULATOR="$work/slow.json" MZT500_COMPLETION_TIMEOUT=1 \
    expect "slow recorder" "" mzt500-cli delete ""
echo '{ "devices": [] }' > "$work/none.json"
MZT500_SIMULATOR="$work/none.json" expect "no recorder" "" mzt500-cli delete ""

if ((failures)); then
    echo "$failures completion case(s) failed"
    exit 1
fi
echo "completion cases passed"
