# Shared by the benchmark scripts (sourced): wall-clock stamps and the arithmetic on them.
# now: seconds since the epoch, to the nanosecond; seconds START END: END - START to the
# millisecond; ratio A B: A / B to two places ("inf" where B is 0).
now() { date +%s.%N; }
seconds() { python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.3f}')" "$@"; }
ratio() { python3 -c "import sys; a, b = map(float, sys.argv[1:]); print(f'{a / b:.2f}' if b > 0 else 'inf')" "$@"; }
