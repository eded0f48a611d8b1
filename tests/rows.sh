#!/bin/bash
# rows.sh PROGRAM FUNCTION...: runs the QtTest program PROGRAM with each row of the named test
# functions in a process of its own, all at the same time, next to one more process for its other
# functions. Those rows wait on lines and devices rather than on the processor, and each has its
# own port and simulated device, so together they take about as long as the longest of them.
# Fails when any process fails, or a row's process ran no row (its tag not found); the output of
# each is shown, a failing one's last.
set -u
program=$1
shift
# Under the sanitizers, whose slowness would crowd rows run side by side past their timing, the
# program runs as a whole, its rows one after another.
[ -n "${BOOTLOADER_TEST_ROWS_IN_TURN:-}" ] && exec "$program"
out=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$out"' EXIT
trap 'exit 143' TERM INT

# -datatags: "Class function tag", or "Class function" for a function without rows.
rows=()
declare -A found
while IFS= read -r line; do
    rest=${line#* }
    function=${rest%% *}
    case " $* " in *" $function "*) ;; *) continue ;; esac
    found[$function]=1
    [ "$rest" = "$function" ] && rows+=("$function") || rows+=("$function:${rest#* }")
done < <("$program" -datatags)
for named in "$@"; do
    [ -n "${found[$named]:-}" ] || { echo "$program has no test function $named"; exit 1; }
done
others=()
while IFS= read -r line; do
    function=${line%"()"}
    case " $* " in *" $function "*) ;; *) others+=("$function") ;; esac
done < <("$program" -functions)

pids=()
names=()
for row in "${rows[@]}"; do
    "$program" "$row" >"$out/${#pids[@]}" 2>&1 &
    pids+=($!)
    names+=("$row")
done
if [ ${#others[@]} -gt 0 ]; then
    "$program" "${others[@]}" >"$out/${#pids[@]}" 2>&1 &
    pids+=($!)
    names+=("the other functions")
fi

failed=()
for i in "${!pids[@]}"; do
    function=${names[$i]%%:*}
    if wait "${pids[$i]}" &&
        { [ "$i" -ge ${#rows[@]} ] || grep -Eq "^(PASS|SKIP) +: [^ ]*::$function\(" "$out/$i"; }; then
        echo "=== ${names[$i]}"
        cat "$out/$i"
    else
        failed+=("$i")
    fi
done
for i in "${failed[@]}"; do
    echo "=== FAILED: ${names[$i]}"
    cat "$out/$i"
done
[ ${#failed[@]} -eq 0 ]
