#!/usr/bin/env python3
"""Runs frame_bench and decode_bench several times and prints, for each whole frame and each
640x480 decode, the median of its per-run ratios to libjpeg-turbo's fast-mode decode of the
same frames in the same run, with the lowest and highest ratio; and the median stage times.

Each form of the driver is compared with libjpeg-turbo forced to the matching instruction set,
in a run of its own (libjpeg-turbo chooses once per process): the SSE2 frames (frame/) with
JSIMD_FORCESSE2=1, the MMX frames (frame_mmx/) with JSIMD_FORCEMMX=1 and the scalar frames
(frame_scalar/) with libjpeg-turbo's C code, JSIMD_FORCENONE=1. A 64-bit libjpeg-turbo has no
MMX code, so a 64-bit build compares the SSE2 and scalar forms only.

On a shared machine one run can move by 10 to 20 per cent; the median of a few runs is steadier.

  scripts/bench_ratios.py [--runs 5] [--size 640x480] [--build build/host64] [--build build/host32 ...]
"""
import argparse
import re
import statistics
import os
import subprocess
import sys

FLAGS = ['--benchmark_repetitions=3', '--benchmark_enable_random_interleaving=true',
         '--benchmark_min_time=0.3s', '--benchmark_report_aggregates_only=true']


# Each form's frames, the libjpeg-turbo instruction set they are compared with, and its switch.
FORMS = [('frame/', 'SSE2', 'JSIMD_FORCESSE2'), ('frame_mmx/', 'MMX', 'JSIMD_FORCEMMX'),
         ('frame_scalar/', 'C', 'JSIMD_FORCENONE')]


def is_32_bit(binary):
    with open(binary, 'rb') as f:
        return f.read(5)[4] == 1  # ELF class: 1 for 32-bit


def cpu_means(binary, pattern, force=None):
    """CPU time in microseconds of each benchmark's mean, by name; force names the libjpeg-turbo
    instruction-set switch to set."""
    env = {k: v for k, v in os.environ.items() if not k.startswith('JSIMD_')}
    if force:
        env[force] = '1'
    out = subprocess.run([binary] + FLAGS + ['--benchmark_filter=' + pattern], capture_output=True,
                         text=True, check=True, env=env).stdout
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
    parser.add_argument('--size', default='640x480', help='frame size of the frames and stages (regex)')
    args = parser.parse_args()
    for build in args.build or ['build/host64', 'build/host32']:
        rows = {}
        binary = build + '/bench/frame_bench'
        forms = [f for f in FORMS if f[1] != 'MMX' or is_32_bit(binary)]
        for _ in range(args.runs):
            for prefix, turbo, force in forms:
                frame = cpu_means(binary, '^(%s|turbo_fast/).*%s$' % (prefix, args.size), force)
                for name, us in frame.items():
                    if name.startswith(prefix):
                        size = name.rsplit('/', 1)[1]
                        key = 'x    %s (turbo %s)' % (name, turbo)
                        rows.setdefault(key, []).append(us / frame['turbo_fast/' + size])
            stages = cpu_means(binary, '^stage/.*%s$' % args.size)
            for name, us in stages.items():
                rows.setdefault('us   ' + name, []).append(us)
            decode = cpu_means(build + '/bench/decode_bench', '^(torvane|turbo_fast)/640x480/')
            for name, us in decode.items():
                if name.startswith('torvane/'):
                    key = name[len('torvane/'):]
                    rows.setdefault('x    decode/' + key, []).append(us / decode['turbo_fast/' + key])
        print('== %s, %d runs: median (lowest..highest); x = ratio to turbo_fast, us = microseconds'
              % (build, args.runs))
        for key in sorted(rows):
            print('  %-48s %s' % (key, summary(rows[key])))
        sys.stdout.flush()


if __name__ == '__main__':
    main()
