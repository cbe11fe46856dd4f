#!/bin/sh
# Manual check, not run by CI (it needs ~2.2 GB of memory and ~20 s): output
# of a command longer than a byte string can hold is reported, never handed
# back as an empty success.
#   exec_output alone and at the end of a pipeline: the warning naming the
#   size, an empty output and the code 2; an over-long output in the middle
#   of a pipeline stops it the same way, for exec too.
# usage: bench/manual/exec_output_overlong.sh [KORVEL]
korvel=${1:-build/korvel}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cat > "$dir/overlong.kor" <<'KOR'
hanshu hs_rukou() {
    zfc o;
    zs c;
    o, c = kor.exec_output("head -c 2200000000 /dev/zero");
    dyh(o.size(), c);
    o, c = kor.exec_output("head -c 2200000000 /dev/zero | wc -c");
    dyh(o.size(), c);
    dyh(kor.exec("head -c 2200000000 /dev/zero | wc -c"));
}
KOR
out=$( (ulimit -v 6000000; timeout 300 "$korvel" "$dir/overlong.kor") 2>&1)
echo "$out"
warnings=$(printf '%s\n' "$out" | grep -c '的输出有 2200000000 字节，超过字符串的最大长度')
results=$(printf '%s\n' "$out" | grep -c '^0 2$')
if [ "$warnings" = 3 ] && [ "$results" = 2 ]; then echo "OK"; else echo "FAILED"; exit 1; fi
