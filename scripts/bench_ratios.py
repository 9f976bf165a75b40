#!/usr/bin/env python3
"""Runs frame_bench and decode_bench several times and prints, for each whole frame and each
640x480 decode, the median of its per-run ratios to libjpeg-turbo's fast-mode decode of the
same frames in the same run, with the lowest and highest ratio; and the median stage times.

On a shared machine one run can move by 10 to 20 per cent; the median of a few runs is steadier.

  scripts/bench_ratios.py [--runs 5] [--build build/host64] [--build build/host32 ...]
"""
import argparse
import re
import statistics
import subprocess
import sys

FLAGS = ['--benchmark_repetitions=3', '--benchmark_enable_random_interleaving=true',
         '--benchmark_min_time=0.3s', '--benchmark_report_aggregates_only=true']


def cpu_means(binary, pattern):
    """CPU time in microseconds of each benchmark's mean, by name."""
    out = subprocess.run([binary] + FLAGS + ['--benchmark_filter=' + pattern], capture_output=True,
                         text=True, check=True).stdout
    means = {}
    for line in out.splitlines():
        m = re.match(r'(\S+)_mean\s+[\d.]+ us\s+([\d.]+) us', re.sub(r'\x1b\[[0-9;]*m', '', line))
        if m:
            means[m.group(1)] = float(m.group(2))
    return means


def summary(values):
    return '%8.3f (%.3f..%.3f)' % (statistics.median(values), min(values), max(values))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--build', action='append')
    args = parser.parse_args()
    for build in args.build or ['build/host64', 'build/host32']:
        rows = {}
        for _ in range(args.runs):
            frame = cpu_means(build + '/bench/frame_bench',
                              '^(frame|turbo_fast|stage/(decode|adjust|yuy2|i420|copy_rgb24))/')
            for name, us in frame.items():
                if name.startswith('stage/'):
                    rows.setdefault('us   ' + name, []).append(us)
                elif name.startswith('frame/'):
                    size = name.rsplit('/', 1)[1]
                    rows.setdefault('x    ' + name, []).append(us / frame['turbo_fast/' + size])
            decode = cpu_means(build + '/bench/decode_bench', '^(torvane|turbo_fast)/640x480/')
            for name, us in decode.items():
                if name.startswith('torvane/'):
                    key = name[len('torvane/'):]
                    rows.setdefault('x    decode/' + key, []).append(us / decode['turbo_fast/' + key])
        print('== %s, %d runs: median (lowest..highest); x = ratio to turbo_fast, us = microseconds'
              % (build, args.runs))
        for key in sorted(rows):
            print('  %-40s %s' % (key, summary(rows[key])))
        sys.stdout.flush()


if __name__ == '__main__':
    main()
