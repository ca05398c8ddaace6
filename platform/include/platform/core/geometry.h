// Points, sizes and rectangles in screen points, as the view classes and the screen use them.
#pragma once

namespace platform {

struct CGPoint {
    double x = 0, y = 0;
    bool operator==(const CGPoint&) const = default;
};
struct CGSize {
    double width = 0, height = 0;
    bool operator==(const CGSize&) const = default;
};
struct CGRect {
    CGPoint origin;
    CGSize size;
    bool operator==(const CGRect&) const = default;
};
inline CGRect CGRectMake(double x, double y, double w, double h) { return {{x, y}, {w, h}}; }

}  // namespace platform
