// Breaking a line of text into lines no wider than a width, at spaces, by any measure of width:
// the drawing layer measures with the font, the tests with a fixed advance per letter.
#pragma once
#include <array>
#include <functional>
#include <string_view>

constexpr int MAX_WRAPPED = 12;  // lines one paragraph may break into

struct Wrapped {
    std::array<std::string_view, MAX_WRAPPED> line{};
    int count = 0;
    bool overflow = false;  // a word wider than the width, or more lines than MAX_WRAPPED
};

using Measure = std::function<double(std::string_view)>;

// Words go onto a line while it stays within width; a word wider than width stands alone on its
// line and sets overflow (the caller shrinks the font). Runs of spaces break like one space.
Wrapped WrapText(std::string_view text, double width, const Measure &measure);
