// Fuzz target: a Port line's options. Whatever the words, the options kept are exactly those of
// an independent reading (the first well-formed output= and size=, each key once), every other
// word is counted and named once, and the messages stay within their buffer.
#include <cctype>
#include <string>
#include <string_view>

#include "fuzzhelp.h"
#include "portopts.h"

namespace {

struct Model {
    std::string output;
    int w = 0, h = 0, ignored = 0;
};

bool all_digits(std::string_view s)
{
    if (s.empty() || s.size() > 5)
        return false;
    for (char c : s)
        if (!isdigit((unsigned char)c))
            return false;
    return true;
}

void take(std::string_view word, Model *m, bool *seenOut, bool *seenSize)
{
    size_t eq = word.find('=');
    std::string_view key = eq == std::string_view::npos ? "" : word.substr(0, eq), v = word.substr(eq + 1);
    bool good = false;
    if (word.size() <= OPTION_WORD_MAX && key == "output" && !*seenOut) {
        *seenOut = true;
        good = !v.empty() && v.size() < CONNECTOR_SIZE &&
               v.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.") ==
                   std::string_view::npos;
        if (good)
            m->output = v;
    } else if (word.size() <= OPTION_WORD_MAX && key == "size" && !*seenSize) {
        *seenSize = true;
        size_t x = v.find_first_of("xX");
        if (x != std::string_view::npos && all_digits(v.substr(0, x)) && all_digits(v.substr(x + 1))) {
            int w = std::stoi(std::string(v.substr(0, x))), h = std::stoi(std::string(v.substr(x + 1)));
            good = w >= 1 && w <= SIZE_MM_MAX && h >= 1 && h <= SIZE_MM_MAX;
            if (good)
                m->w = w, m->h = h;
        }
    }
    m->ignored += !good;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    Model m;
    bool seenOut = false, seenSize = false;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isspace((unsigned char)text[i]))
            i++;
        size_t start = i;
        while (i < text.size() && !isspace((unsigned char)text[i]) && text[i])
            i++;
        if (i == start)
            break;
        take(std::string_view(text).substr(start, i - start), &m, &seenOut, &seenSize);
    }
    PortOptions o;
    char notes[OPTION_NOTES];
    memset(notes, 'Z', sizeof notes);
    int ignored = ParsePortOptions("/dev/ttyS0", text, &o, notes, sizeof notes);
    if (ignored != m.ignored)
        FuzzFail("%d words ignored, the model says %d", ignored, m.ignored);
    if (o.output != m.output || o.widthMm != m.w || o.heightMm != m.h)
        FuzzFail("kept output '%s' %dx%d, the model '%s' %dx%d", o.output, o.widthMm, o.heightMm, m.output.c_str(),
                 m.w, m.h);
    if (strnlen(notes, sizeof notes) >= sizeof notes)
        FuzzFail("the messages overran their buffer");
    return 0;
}
