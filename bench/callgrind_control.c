/* Callgrind's client requests for bench/instructions.py, which builds this
 * file with the system compiler and calls it through ctypes. The requests are
 * macros that only valgrind understands (outside it they cost a few
 * instructions and do nothing), so Python cannot issue them itself.
 *
 * A measurement is bench_start() ... bench_stop(name): the counters are
 * zeroed and collection turned on, then turned off and the counts since the
 * start written to a dump whose trigger names the measurement. The process
 * runs under --instr-atstart=no --collect-atstart=no: bench_instrument() ends
 * the uninstrumented setup, and nothing outside a measurement is counted. */
#include <valgrind/callgrind.h>

int bench_on_valgrind(void) { return RUNNING_ON_VALGRIND; }

void bench_instrument(void) { CALLGRIND_START_INSTRUMENTATION; }

void bench_start(void) {
  CALLGRIND_ZERO_STATS;
  CALLGRIND_TOGGLE_COLLECT;
}

void bench_stop(const char *name) {
  CALLGRIND_TOGGLE_COLLECT;
  CALLGRIND_DUMP_STATS_AT(name);
}
