#!/usr/bin/env bash
# Runs every benchmark and writes bench/results.md. Usage: bench/run.sh [native-build] [windows-build]
# Figures only: nothing here passes or fails on a target. The Wine figures come from the Windows
# build that runs the Windows tests here (the shipped 32-bit one, or its 64-bit twin); the DLL's
# size and imports always from the shipped one.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
native=${1:-$source_dir/build/native}
windows=${2:-$source_dir/build/$("$source_dir/cmake/windows-test-build.sh" 2>/dev/null)}
out=$source_dir/bench/results.md

echo "micro benchmarks..." >&2
micro=$("$native/bench/micro_bench" --benchmark_min_time=0.2 2>/dev/null | sed -n '/^Benchmark/,$p')
echo "native exchange, wait and footprint (about 15 s)..." >&2
native_figures=$("$native/bench/native_bench" 16000 10)
if why=$("$source_dir/cmake/wine-run.sh" --can-run "$windows/CorvaleUPS.dll" 2>&1); then
  echo "DLL under Wine, $(basename "$windows") (about 40 s)..." >&2
  wine_figures=$("$native/bench/wine_bench" "$windows" "$source_dir" 6000 10)
else
  # The Wine rows then read "not measured" rather than a figure from nowhere.
  echo "DLL under Wine: not measured, $why" >&2
  wine_figures=""
fi
echo "NUT server under load (about 15 s)..." >&2
nut_figures=$("$native/bench/nut_bench" "$native/cli/corvale-ups" 2)
echo "HTTP endpoint and history (about 15 s)..." >&2
http_figures=$("$native/bench/http_bench" "$native/cli/corvale-ups" 2)
echo "1,000 agents on one primary (about 50 s)..." >&2
agent_figures=$(ulimit -n 8192 && "$native/bench/agent_bench" "$native/cli/corvale-ups" 1000)
echo "several UPSes: cadence with the other's port hung, memory with 1, 2 and 8 (about 90 s)..." >&2
units_figures=$("$native/bench/units_bench" "$native/cli/corvale-ups" "$native/libCorvaleUPS.so" 20)
echo "notifications: 100 notices through a receiver that was down (about 10 s)..." >&2
syncs=$(mktemp)
notify_figures=$(strace -f -qq -c -e trace=fsync,fdatasync -o "$syncs" "$native/bench/notify_bench" 100)
notify_syncs=$(awk '$NF == "fsync" || $NF == "fdatasync" {n += $(NF-1)} END {print n + 0}' "$syncs")
rm -f "$syncs"
native_figures=$(printf '%s\n%s\n%s\n%s\n%s\n%s\nnotify_syncs %s\n' "$native_figures" "$nut_figures" \
  "$http_figures" "$agent_figures" "$units_figures" "$notify_figures" "$notify_syncs")
figure() {
  printf '%s\n%s\n' "$native_figures" "$wine_figures" |
    awk -v name="$1" '$1 == name {sub(/^[^ ]+ /, ""); print; found = 1} END {if (!found) print "not measured"}'
}
# "met" or "missed" for a figure against its target (judge VALUE OP LIMIT, OP one of < <= ==), or
# "not measured": every row with a target says which.
judge() {
  awk -v value="$1" -v op="$2" -v limit="$3" 'BEGIN {
    if (value !~ /^-?[0-9.]+$/ || limit !~ /^-?[0-9.]+$/) { print "not measured"; exit }
    met = (op == "<" && value + 0 < limit + 0) || (op == "<=" && value + 0 <= limit + 0) ||
          (op == "==" && value + 0 == limit + 0)
    print met ? "met" : "missed" }'
}

dll=$source_dir/build/windows/CorvaleUPS.dll
so=$native/libCorvaleUPS.so
dll_imports=$(i686-w64-mingw32-objdump -p "$dll" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
so_imports=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
cpu=$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)
stripped=$(mktemp)
strip -o "$stripped" "$so" && so_stripped=$(stat -c %s "$stripped")
rm -f "$stripped"

cat >"$out" <<TABLE
# Benchmark results

Machine: $cpu, $(nproc) cores, $(uname -sr); Wine $(wine --version 2>/dev/null | sed 's/wine-//')
(the DLL under Wine: $(basename "$windows")$([ "$(basename "$windows")" = windows64 ] && echo ", the 64-bit twin"));
$(date -u +%Y-%m-%d). Made by \`make bench\`; figures, not pass/fail tests.

The serial line sets the pace: at 1200 baud a 13-byte command and a 12-byte reply take 208 ms.
Below, the UPS is a simulator on a pseudo-terminal that answers at once, so what is measured is
what the driver adds to moving the same bytes.

| what | measured | target |
|---|---|---|
| one exchange (\`UPSGetState\`), native, against a bare write + read of the same bytes: the median of per-round ratios, rounds interleaved (order swapped each round) | $(figure exchange_driver_median_us) µs vs $(figure exchange_raw_median_us) µs: **$(figure exchange_ratio)×**, spread $(figure exchange_ratio_spread): **$(figure exchange_ratio_verdict)** | ≤ 1.05× |
| the same through CorvaleUPS.dll under Wine, against bare \`WriteFile\` + \`ReadFile\` | $(figure wine_exchange_dll_median_us) µs vs $(figure wine_exchange_raw_median_us) µs: **$(figure wine_exchange_ratio)×**, spread $(figure wine_exchange_ratio_spread): **$(figure wine_exchange_ratio_verdict)** | ≤ 1.05× |
| CPU per exchange, native (thread time, system calls included; bare: $(figure exchange_raw_cpu_us) µs) | $(figure exchange_driver_cpu_us) µs: **$(judge "$(figure exchange_driver_cpu_us)" '<' 20)** | < 20 µs |
| CPU while waiting, native: $(figure wait_seconds) s of \`UPSWaitForStateChange\` with no limit | $(figure wait_cpu_percent) %: **$(judge "$(figure wait_cpu_percent)" '<' 0.1)** | < 0.1 % |
| CPU while waiting, DLL under Wine ($(figure wine_wait_seconds) s; Wine's thread times are coarse) | $(figure wine_wait_cpu_percent) %: **$(judge "$(figure wine_wait_cpu_percent)" '<' 0.1)** | < 0.1 % |
| CorvaleUPS.dll size | $(stat -c %s "$dll") bytes: **$(judge "$(stat -c %s "$dll")" '<' 65536)** | < 64 KiB |
| CorvaleUPS.dll imports | $dll_imports: **$([ "$dll_imports" = "ADVAPI32.dll KERNEL32.dll msvcrt.dll " ] && echo met || echo missed)** | only these three |
| libCorvaleUPS.so size (with symbols; stripped: $so_stripped bytes) | $(stat -c %s "$so") bytes | |
| libCorvaleUPS.so needs | $so_imports | |
| stack used by \`UPSGetState\` / \`UPSTurnOff\` / \`UPSWaitForStateChange\` / \`UPSInit\`, native (most of it the POSIX back end's path buffers) | $(figure stack_getstate_bytes) / $(figure stack_turnoff_bytes) / $(figure stack_wait_bytes) / $(figure stack_init_bytes) bytes | |
| the same for CorvaleUPS.dll under Wine (Wine's own calls included) | $(figure dll_stack_bytes | tr / ' ' | sed 's/ / \/ /g') bytes | |
| heap allocations by the driver in init, polls, waits, turn-off, stop | $(figure heap_allocations): **$(judge "$(figure heap_allocations)" '==' 0)** | 0 |

The NUT server of \`corvale-ups service\` (on the simulator), each client sending \`GET VAR\` and
waiting for the reply, next to a bare loopback echo server driven by the same client loop
(one client thread, so at 512 clients the client is part of what is measured):

| clients | requests/s (echo) | ratio | p99 latency (echo) |
|---|---|---|---|
| 1 | $(figure nut_rps_1) ($(figure echo_rps_1)) | $(figure nut_ratio_1) | $(figure nut_p99_us_1) µs ($(figure echo_p99_us_1) µs) |
| 64 | $(figure nut_rps_64) ($(figure echo_rps_64)) | $(figure nut_ratio_64) | $(figure nut_p99_us_64) µs ($(figure echo_p99_us_64) µs) |
| 512 | $(figure nut_rps_512) ($(figure echo_rps_512)) | $(figure nut_ratio_512) | $(figure nut_p99_us_512) µs ($(figure echo_p99_us_512) µs) |

Memory per connected client (the service's resident size with 512 idle clients, against none):
$(figure nut_bytes_per_connection) bytes.

The HTTP endpoint of \`corvale-ups service\` (on the simulator), each client asking for
\`/metrics\` again and again on a kept-alive connection:

| clients | requests/s | p99 latency |
|---|---|---|
| 1 | $(figure http_rps_1) | $(figure http_p99_us_1) µs |
| 32 | $(figure http_rps_32) | $(figure http_p99_us_32) µs |

The service's resident size: $(figure http_rss_without_kib) KiB without the endpoint,
$(figure http_rss_with_kib) KiB with it, $(figure http_rss_after_load_kib) KiB after the load above.
One history record: $(figure history_append_us) µs for the caller (queued), $(figure history_written_us) µs until
it is on the disk (written and synced, on this machine's disk).

One primary with $(figure agents) agent sessions on loopback (simulated agents: each logged in
as a secondary, reading \`ups.status\` once a second, spread over the second), and one real
\`corvale-ups service\` agent following it:

| what | measured | target |
|---|---|---|
| the primary's CPU / resident size with them | $(figure primary_cpu_percent) % / $(figure primary_rss_kib) KiB | |
| the UPS's bits change on the line, until every session has read it: first / p50 / p99 / last | $(figure bits_first_s) / $(figure bits_p50_s) / $(figure bits_p99_s) / $(figure bits_max_s) s: **$(judge "$(figure bits_p99_s)" '<=' 1.5)** | p99 ≤ 1.5 s |
| FSD set by a primary user, until every session has read it: p50 / p99 / last | $(figure fsd_p50_s) / $(figure fsd_p99_s) / $(figure fsd_max_s) s: **$(judge "$(figure fsd_p99_s)" '<=' 1.5)** | p99 ≤ 1.5 s |
| one agent's CPU while all is well (over 30 s, counted in 10 ms ticks: 0.000 is under 0.034 %) / resident size | $(figure agent_cpu_percent) %: **$(judge "$(figure agent_cpu_percent)" '<=' 0.05)** / $(figure agent_rss_kib) KiB: **$(judge "$(figure agent_rss_kib)" '<=' 8192)** | ≤ 0.05 % / ≤ 8 MiB |

A change on the line reaches the sessions after two polls in a row: the primary's (once a second,
plus 208 ms on the wire: "first") and then each agent's own (once a second). So its p99 is close
to 2 s whatever the server does; the server's share, from the first session that read it to the
last, is the difference. FSD is set on the server at once, so only the agents' polls count.

Several UPSes on one machine's cables, each driver in a process of its own (\`corvale-ups
ups-child\`), on simulators: each UPS's answered polls while the other UPS is silent for 20 s (its
driver's exchanges waiting out their time limit, its process restarting the driver), and the
service's resident size with one UPS (the driver in the service), two and eight (a process each):

| what | measured | target |
|---|---|---|
| longest / mean time between answered polls of "right" while "left" is silent | $(figure units_gap_max_s_right) / $(figure units_gap_mean_s_right) s: **$(judge "$(figure units_gap_max_s_right)" '<=' 2)** | ≤ 2 s |
| the same of "left" while "right" is silent | $(figure units_gap_max_s_left) / $(figure units_gap_mean_s_left) s: **$(judge "$(figure units_gap_max_s_left)" '<=' 2)** | ≤ 2 s |
| the service's resident size with 1 / 2 / 8 UPSes (the service alone) | $(figure units_rss_service_kib_1) / $(figure units_rss_service_kib_2) / $(figure units_rss_service_kib_8) KiB | |
| the same with its driver processes (resident sizes added: the pages of the program and libraries they share are counted in each) | $(figure units_rss_total_kib_1) / $(figure units_rss_total_kib_2) / $(figure units_rss_total_kib_8) KiB | |
| the same, proportional (each shared page split among the processes that map it) | $(figure units_pss_total_kib_1) / $(figure units_pss_total_kib_2) / $(figure units_pss_total_kib_8) KiB | |

Notifications: $(figure notify_notices) notices queued while the receiver (HTTP on loopback) refused
every connection, then it came back:

| what | measured | target |
|---|---|---|
| all delivered, from the receiver's return | $(figure notify_all_delivered_s) s ($(figure notify_delivered) delivered): **$(judge "$(figure notify_all_delivered_s)" '<=' 10)** | ≤ 10 s |
| fsyncs in all (the outbox syncs each notice once, and its folder once when made) | $(figure notify_syncs): **$(judge "$(figure notify_syncs)" '<=' "$(figure notify_notices | awk '{ print $1 + 1 }')")** | ≤ 1 per notice |
| resident size the notifier adds (its thread, the outbox, the tries) | $(figure notify_rss_delta_kib) KiB: **$(judge "$(figure notify_rss_delta_kib)" '<=' 1024)** | ≤ 1 MiB |
| resident size of libcurl, loaded and initialised where \`[[notify]]\` is set (OpenSSL's initialisation with it) | $(figure notify_library_kib) KiB | |

libcurl is loaded only where \`[[notify]]\` is set: linked, it and the two dozen libraries it needs
were mapped by every agent and primary (about 4 MiB), and its initialisation of OpenSSL costs
2 MiB more. The service's resident sizes above are without it.

CPU per Wine exchange: $(figure wine_exchange_dll_cpu_us) µs through the DLL, $(figure wine_exchange_raw_cpu_us) µs bare
(Wine counts thread time in coarse ticks, so these two are rough).

Driver work alone, on the scripted fake OS (Google Benchmark):

\`\`\`
$micro
\`\`\`
TABLE
cat "$out"
