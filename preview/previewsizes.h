#pragma once

#include <QSize>

// The page sizes a preview asks for: a thumbnail, a page filling a screen,
// and A4 at 300 dpi.
struct PreviewPageSize {
    const char *name;
    QSize size;
};

inline const PreviewPageSize PreviewPageSizes[] = {
    {"thumbnail", QSize(200, 283)},
    {"screen", QSize(1240, 1754)},
    {"print", QSize(2480, 3508)},
};
