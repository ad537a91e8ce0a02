#pragma once

#include <cstdlib>

// The PNG format's Paeth predictor: of the bytes to the left (a), above (b)
// and above left (c), the one nearest to a + b - c. The writer subtracts it,
// the reader adds it back.
inline int paethPredictor(int a, int b, int c)
{
    const int p = a + b - c;
    const int pa = std::abs(p - a);
    const int pb = std::abs(p - b);
    const int pc = std::abs(p - c);
    if (pa <= pb && pa <= pc)
        return a;
    return pb <= pc ? b : c;
}
