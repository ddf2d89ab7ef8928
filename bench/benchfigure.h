#pragma once

#include <cstdio>

// Every benchmark figure is printed in one form, beside a baseline measured in the same run:
//   name: value unit (baseline: value unit, ratio r)
// where ratio = value / baseline. A figure is a ratio that holds on a noisy machine; the
// README's benchmark section explains each name.
inline void benchFigure(const char *name, double value, const char *unit, double baseline,
                        const char *baselineUnit, int decimals = 0)
{
    const double ratio = baseline != 0 ? value / baseline : 0;
    std::printf("%s: %.*f %s (baseline: %.*f %s, ratio %.3g)\n", name, decimals, value, unit,
                decimals, baseline, baselineUnit, ratio);
    std::fflush(stdout);
}
