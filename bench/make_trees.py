#!/usr/bin/env python3
"""Writes the benchmark's trees, the same bytes every time.

small: 20,000 files of 1-16 KiB in 1,000 folders up to 4 levels deep, ASCII and Chinese names.
large: 16 files of 64 MiB in 4 folders.
huge: 100,000 files of 1-16 KiB in 5,000 folders 3 levels deep.

Usage: make_trees.py <tree> <folder> [scale]
A scale below 1 (for trying the benchmark out) shrinks the file and folder counts of small and
huge, and the file size of large; the folders kept are the first of the full tree's.
"""
import os
import random
import sys

WORDS = ["report", "合同", "budget", "会议纪要", "design", "项目", "notes", "财务", "plan", "资料"]


def name(rng, i):
    return f"{rng.choice(WORDS)}-{i:04d}-{rng.choice(WORDS)}"


def scaled(count, scale):
    return max(1, round(count * scale))


def small_files(rng, folders, count):
    for f in folders:
        os.makedirs(f, exist_ok=True)
    for i in range(count):
        folder = folders[i % len(folders)]
        size = rng.randint(1024, 16 * 1024)
        with open(os.path.join(folder, name(rng, i) + ".txt"), "wb") as out:
            out.write(rng.randbytes(size))


def small(root, scale):
    rng = random.Random(20261208)
    folders = []
    for a in range(10):
        top = os.path.join(root, name(rng, a))
        folders.append(top)
        for b in range(9):
            second = os.path.join(top, name(rng, b))
            folders.append(second)
            for c in range(9):
                third = os.path.join(second, name(rng, c))
                folders.append(third)
                if c == 0:
                    folders.append(os.path.join(third, name(rng, 0)))
    assert len(folders) == 1000, len(folders)
    # Every folder comes after its parent, so the first ones form a tree.
    small_files(rng, folders[: scaled(1000, scale)], scaled(20000, scale))


def huge(root, scale):
    rng = random.Random(100000)
    folders = []
    for a in range(50):
        top = os.path.join(root, name(rng, a))
        folders.append(top)
        for b in range(9):
            second = os.path.join(top, name(rng, b))
            folders.append(second)
            for c in range(10):
                folders.append(os.path.join(second, name(rng, c)))
    assert len(folders) == 5000, len(folders)
    small_files(rng, folders[: scaled(5000, scale)], scaled(100000, scale))


def large(root, scale):
    rng = random.Random(64)
    block = rng.randbytes(1 << 20)
    mebibytes = scaled(64, scale)
    for d in range(4):
        folder = os.path.join(root, f"卷-{d}")
        os.makedirs(folder, exist_ok=True)
        for f in range(4):
            shift = (d * 4 + f) * 4099
            piece = block[shift:] + block[:shift]
            with open(os.path.join(folder, f"archive-{d}-{f}.bin"), "wb") as out:
                for _ in range(mebibytes):
                    out.write(piece)


if __name__ == "__main__":
    which, root = sys.argv[1], sys.argv[2]
    scale = float(sys.argv[3]) if len(sys.argv) > 3 else 1.0
    {"small": small, "large": large, "huge": huge}[which](root, scale)
