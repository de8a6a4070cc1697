# The python3 workload of bench/record (run with PYTHONMALLOC=malloc so that
# every object goes through the C allocator): dictionaries of lists, tuples
# and strings built and dropped round after round.
import sys

rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
size = int(sys.argv[2]) if len(sys.argv) > 2 else 200000
total = 0
for r in range(rounds):
    table = {}
    for i in range(size):
        table[i] = [str(i + r), (i, i * 2), {"k": i}]
    total += len(table)
    del table
print(total)
