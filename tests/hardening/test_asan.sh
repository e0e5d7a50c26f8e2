#!/bin/sh
# Runs the unit and system tests of a sanitizer build (-DAPCTL_SANITIZE=ON).
# Every program writes its sanitizer reports into one folder, so a report from
# a daemon whose exit no test looks at still fails the run.
#   test_asan.sh <build folder> [jobs]
set -u
build=$(cd "$1" && pwd)
jobs=${2:-2}
reports=$build/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"

# stdbuf (line-buffered daemon output in the system tests) preloads its library
# ahead of the runtime, hence verify_asan_link_order=0.
# Leaks count everywhere; daemons stopped by SIGTERM leave the loop and return
# from main, so their leaks are reported as well.
export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:verify_asan_link_order=0"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="log_path=$reports/lsan:suppressions=$(cd "$(dirname "$0")" && pwd)/lsan.supp:print_suppressions=0"

# Not for this build: the NEEDED check (sanitized ELFs need the sanitizer
# runtimes), the valgrind run (valgrind cannot run ASan programs), the
# benchmarks (their figures are for the shipped build).
skip='^(footprint_needed|.*_memcheck|bench_.*)$'
# Checks of NEEDED entries inside unit programs, likewise (GoogleTest reads
# the filter from the environment).
export GTEST_FILTER='-TesselExports.NeedsNoLibraryOfItsOwn'
# The burst of simulated APs, scaled down to what the sanitized daemon answers
# within the test's waits.
export APCTL_BURST_APS=200
# The hand-placed export file, likewise: every realloc of the growing reply
# copies it under the sanitizer's allocator, so the full file outlasts the bus
# call's timeout (10,000 rows already take 12 s of its 30).
export APCTL_CSV_ROWS=5000
# The APs of thousands of VAPs, likewise.
export APCTL_SCALE_VAPS=500

start=$(date +%s)
rc=0
(cd "$build" && ctest --output-on-failure -j "$jobs" -E "$skip") || rc=$?
echo "sanitizer test run: $(( $(date +%s) - start )) s"

# A report holds an error line; anything else there is a summary.
found=$(grep -l -E 'ERROR: |runtime error:' -r "$reports" | sort)
if [ -n "$found" ]; then
	echo "sanitizer reports:"
	for f in $found; do
		echo "---- $f"
		cat "$f"
	done
	[ $rc -eq 0 ] && rc=1
else
	echo "no sanitizer reports"
fi
exit $rc
