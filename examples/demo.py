"""Uniform-disk magnification of a finite source at a few separations."""

import kalvorin

RE, RSTAR = 1.0, 0.1  # Einstein radius and source radius, same unit
separations = [0.0, 0.5, 0.9, 1.0, 1.1, 2.0, 3.0, 10.0, 100.0]  # source radii

print(f"uniform disk, rho = rstar/re = {RSTAR / RE}")
print(f"{'l [R*]':>8}  {'A':>20}")
for l, a in zip(separations, kalvorin.witt_mao_magnification(separations, RE, RSTAR)):
    print(f"{l:8.3f}  {a:20.15f}")
