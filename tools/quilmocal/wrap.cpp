// Breaking text into lines that fit a width, at spaces, greedily (the screens' lines are short
// sentences; a fuller line breaking buys nothing there).
#include "wrap.h"

static std::string_view next_word(std::string_view text, size_t *pos)
{
    while (*pos < text.size() && text[*pos] == ' ')
        ++*pos;
    const size_t start = *pos;
    while (*pos < text.size() && text[*pos] != ' ')
        ++*pos;
    return text.substr(start, *pos - start);
}

Wrapped WrapText(std::string_view text, double width, const Measure &measure)
{
    Wrapped w;
    size_t pos = 0, lineStart = 0, lineEnd = 0;
    bool open = false;  // a line holds at least one word
    for (std::string_view word = next_word(text, &pos); !word.empty(); word = next_word(text, &pos)) {
        const size_t start = static_cast<size_t>(word.data() - text.data());
        if (open && measure(text.substr(lineStart, start + word.size() - lineStart)) <= width) {
            lineEnd = start + word.size();
            continue;
        }
        if (open) {
            if (w.count == MAX_WRAPPED) {
                w.overflow = true;
                return w;
            }
            w.line[static_cast<size_t>(w.count++)] = text.substr(lineStart, lineEnd - lineStart);
        }
        lineStart = start, lineEnd = start + word.size(), open = true;
        if (measure(word) > width)
            w.overflow = true;
    }
    if (open) {
        if (w.count == MAX_WRAPPED)
            w.overflow = true;
        else
            w.line[static_cast<size_t>(w.count++)] = text.substr(lineStart, lineEnd - lineStart);
    }
    return w;
}
