"""Times what a Python user would write to list the running processes:
psutil.process_iter(['name']), consumed whole. Prints one JSON object with
the medians and the samples of CPU time (system time included, as the
benchmarks count it) and of wall time, in seconds."""
import json
import statistics
import sys
import time

import psutil


def main():
    samples = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    list(psutil.process_iter(['name']))  # psutil keeps its Process objects between calls, as in real use
    cpu, wall = [], []
    count = 0
    for _ in range(samples):
        start_cpu, start_wall = time.process_time(), time.perf_counter()
        count = len(list(psutil.process_iter(['name'])))
        cpu.append(time.process_time() - start_cpu)
        wall.append(time.perf_counter() - start_wall)
    json.dump({"cpu_median": statistics.median(cpu), "wall_median": statistics.median(wall),
               "cpu": cpu, "wall": wall, "processes": count}, sys.stdout)


if __name__ == "__main__":
    main()
