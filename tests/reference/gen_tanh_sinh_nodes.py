#!/usr/bin/env python3
"""Generate src/kernels/tanh_sinh_nodes.hpp, the node table of the tanh-sinh rule.

The rule integrates over [-1, 1] after the substitution
    x = tanh(u),  u = (pi/2) sinh(t),
whose Jacobian is dx/dt = (pi/2) cosh(t) / cosh^2(u).  With step h the
trapezoidal sum over t has nodes t = k h and weights
    w = h (pi/2) cosh(t) / cosh^2(u).
Only the positive half is stored (the rule is symmetric in t); the node at
t = 0 is handled by the quadrature routine itself.

Seven levels, truncated at t = 3:
    level 0, h = 1:           t = 1, 2, 3
    level 1, h = 1/2:         t = 0.5, 1.5, 2.5
    level l >= 2, h = 2^-l:   t = (2k+1) h, k = 0 ... 3*2^(l-1) - 1
i.e. every level after the first holds exactly the points that halving the
step adds, so the sums can be refined level by level.

Every value is computed with 60 significant digits and rounded once to the
nearest double.  Near t = 3 the abscissa is 1 - 4e-14; a double evaluation of
tanh(u) would lose the last bits of 1 - x, the high-precision evaluation does
not.

Usage (from the repository root):
    python3 tests/reference/gen_tanh_sinh_nodes.py
"""

import os
import sys
from fractions import Fraction

from mpmath import mp, mpf, cosh, sinh, tanh, pi

mp.dps = 60

LEVELS = 7
T_MAX = 3

HERE = os.path.dirname(os.path.abspath(__file__))
OUTPUT = os.path.join(HERE, "..", "..", "src", "kernels", "tanh_sinh_nodes.hpp")


def level_points(level):
    """Return (h, [t ...]) of one level as exact fractions, in table order."""
    if level == 0:
        return Fraction(1), [Fraction(k) for k in range(1, T_MAX + 1)]
    h = Fraction(1, 2 ** level)
    count = T_MAX * 2 ** (level - 1)  # odd multiples of h below T_MAX
    return h, [(2 * k + 1) * h for k in range(count)]


def node(h, t):
    """Weight and abscissa of the node at t, rounded to the nearest double."""
    t = mpf(t.numerator) / t.denominator
    h = mpf(h.numerator) / h.denominator
    u = pi / 2 * sinh(t)
    x = tanh(u)
    w = h * (pi / 2) * cosh(t) / cosh(u) ** 2
    # 1 - x must be right to many digits near t = 3: check that the working
    # precision resolves it far beyond double precision.
    assert 1 - x > mpf(10) ** (-mp.dps + 20)
    return float(w), float(x)


def build_table():
    levels = []
    for level in range(LEVELS):
        h, ts = level_points(level)
        levels.append([(t, *node(h, t)) for t in ts])
    return levels


# Reference rows: first node of each level, last node of levels 0 and 6.
CHECK_ROWS = [
    (0, Fraction(1), 0.23002239451478868, 0.9513679640727469),
    (0, Fraction(3), 1.3581784274539091e-12, 0.999999999999957),
    (1, Fraction(1, 2), 0.4829882897061506, 0.6742714922484359),
    (2, Fraction(1, 4), 0.3474036898118141, 0.3772097381640342),
    (3, Fraction(1, 8), 0.19041046482933816, 0.19435700332493544),
    (4, Fraction(1, 16), 0.09742333472083313, 0.09792388528783233),
    (5, Fraction(1, 32), 0.04899316972835068, 0.049055967305077885),
    (6, Fraction(1, 64), 0.024531906707493643, 0.02453976357464916),
    (6, Fraction(191, 64), 3.411862828005251e-14, 0.9999999999999298),
]


def check(levels):
    counts = [len(nodes) for nodes in levels]
    assert counts == [3, 3, 6, 12, 24, 48, 96], counts
    assert sum(counts) == 192
    for level, t, w, x in CHECK_ROWS:
        row = [n for n in levels[level] if n[0] == t]
        assert len(row) == 1, (level, t)
        _, w_got, x_got = row[0]
        assert w_got == w, (level, t, w_got, w)
        assert x_got == x, (level, t, x_got, x)
    # Every abscissa lies strictly inside (0, 1), every weight is positive.
    for nodes in levels:
        for _, w, x in nodes:
            assert 0.0 < x < 1.0 and w > 0.0


def fmt_t(t):
    return str(t.numerator) if t.denominator == 1 else f"{t.numerator}/{t.denominator}"


def render(levels):
    counts = [len(nodes) for nodes in levels]
    offsets = [0]
    for c in counts:
        offsets.append(offsets[-1] + c)
    out = []
    out.append("// GENERATED FILE - DO NOT EDIT.")
    out.append("// Regenerate with: python3 tests/reference/gen_tanh_sinh_nodes.py")
    out.append("//")
    out.append("// Tanh-sinh (double-exponential) nodes on [-1, 1], positive half only:")
    out.append("//   x = tanh(u), u = (pi/2) sinh(t),  w = h (pi/2) cosh(t) / cosh^2(u).")
    out.append("// Level 0 has step h = 1 and t = 1, 2, 3; level l >= 1 has h = 2^-l and")
    out.append("// the odd multiples of h below 3 (the points that halving the step adds).")
    out.append("// Each value is the exact value of its formula (60-digit arithmetic)")
    out.append("// rounded to the nearest double.")
    out.append("#pragma once")
    out.append("")
    out.append("#include <array>")
    out.append("#include <cstddef>")
    out.append("")
    out.append("namespace kalvorin {")
    out.append("")
    out.append("struct TanhSinhNode {")
    out.append("    double weight;")
    out.append("    double abscissa;")
    out.append("};")
    out.append("")
    out.append(f"inline constexpr std::size_t TANH_SINH_LEVELS = {len(levels)};")
    out.append("")
    out.append("// Number of nodes of each level.")
    out.append("inline constexpr std::array<std::size_t, TANH_SINH_LEVELS> TANH_SINH_LEVEL_COUNTS = {"
               + ", ".join(str(c) for c in counts) + "};")
    out.append("")
    out.append("// Index of the first node of each level in TANH_SINH_NODES; the last entry")
    out.append("// is the total number of nodes.")
    out.append("inline constexpr std::array<std::size_t, TANH_SINH_LEVELS + 1> TANH_SINH_LEVEL_OFFSETS = {"
               + ", ".join(str(o) for o in offsets) + "};")
    out.append("")
    out.append(f"// All nodes, level by level, each level in increasing t; {{weight, abscissa}}.")
    out.append(f"inline constexpr std::array<TanhSinhNode, {offsets[-1]}> TANH_SINH_NODES = {{{{")
    for level, nodes in enumerate(levels):
        h = level_points(level)[0]
        out.append(f"    // level {level}, h = {fmt_t(h)}")
        for t, w, x in nodes:
            out.append(f"    {{{repr(w)}, {repr(x)}}},  // t = {fmt_t(t)}")
    out.append("}};")
    out.append("")
    out.append("}  // namespace kalvorin")
    return "\n".join(out) + "\n"


def main():
    levels = build_table()
    check(levels)
    text = render(levels)
    with open(OUTPUT, "w", encoding="ascii") as f:
        f.write(text)
    print(f"wrote {os.path.relpath(OUTPUT)}: {sum(len(n) for n in levels)} nodes", file=sys.stderr)


if __name__ == "__main__":
    main()
