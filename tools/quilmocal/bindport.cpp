// Binding a port to its monitor: the port's Port line in /etc/quilmod.conf gets
// "output=CONNECTOR", that line alone changed, every other byte of the file kept, the file
// replaced whole through a scratch file and a rename.
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>
#include <cstdio>
#include <cstring>
#include <string>

#include "cal.h"
#include "conffile.h"
#include "rootpath.h"
#include "safefile.h"

constexpr size_t MAX_CONFIG_BYTES = 1 << 20;  // a configuration is a few hundred bytes
constexpr char OUTPUT_WORD[] = "output=";

// Blanks between words; the default configuration ends its lines "\n\r", so a line may begin
// with a carriage return.
static bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

// The line's key before its first '=' (blanks around it dropped) is "Port" in any case, and
// its value word is device exactly; *valueEnd: where that word ends in the line.
static bool names_port(std::string_view line, std::string_view device, size_t *valueEnd)
{
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return false;
    size_t a = 0, b = eq;
    while (a < b && blank(line[a]))
        ++a;
    while (b > a && blank(line[b - 1]))
        --b;
    if (b - a != 4 || strncasecmp(line.data() + a, "port", 4) != 0)
        return false;
    size_t v = eq + 1;
    while (v < line.size() && blank(line[v]))
        ++v;
    size_t e = v;
    while (e < line.size() && !blank(line[e]))
        ++e;
    *valueEnd = e;
    return line.substr(v, e - v) == device;
}

// The line with its output= word set to connector (replaced, or added after the last word).
static std::string bound_line(std::string_view line, size_t valueEnd, std::string_view connector)
{
    size_t end = line.size();
    while (end > valueEnd && blank(line[end - 1]))
        --end;  // trailing blanks and a carriage return stay where they are
    for (size_t w = valueEnd; w < end;) {
        while (w < end && blank(line[w]))
            ++w;
        size_t e = w;
        while (e < end && !blank(line[e]))
            ++e;
        if (line.substr(w, e - w).starts_with(OUTPUT_WORD))
            return std::string(line.substr(0, w)) + OUTPUT_WORD + std::string(connector) + std::string(line.substr(e));
        w = e;
    }
    return std::string(line.substr(0, end)) + " " + OUTPUT_WORD + std::string(connector) + std::string(line.substr(end));
}

bool BindPortText(std::string_view text, std::string_view device, std::string_view connector, std::string *out)
{
    // The last Port line naming the device is the one whose options the daemon keeps.
    size_t found = std::string_view::npos, foundEnd = 0, foundValue = 0;
    for (size_t start = 0; start < text.size();) {
        size_t nl = text.find('\n', start);
        const size_t end = nl == std::string_view::npos ? text.size() : nl;
        size_t valueEnd;
        if (names_port(text.substr(start, end - start), device, &valueEnd))
            found = start, foundEnd = end, foundValue = valueEnd;
        start = end + 1;
    }
    if (found == std::string_view::npos)
        return false;
    *out = std::string(text.substr(0, found)) +
           bound_line(text.substr(found, foundEnd - found), foundValue, connector) + std::string(text.substr(foundEnd));
    return true;
}

bool BindPort(const char *device, const char *connector)
{
    constexpr char SCRATCH_END[] = ".quilmocal.XXXXXX";  // mkstemp's template, beside the file
    char path[QLM_PATH], scratch[QLM_PATH + sizeof SCRATCH_END];
    RootPath(path, sizeof path, CONFIG_FILE);
    const int fd = OpenRegular(path);
    if (fd < 0) {
        fprintf(stderr, "quilmocal: cannot read %s: not bound to %s\n", CONFIG_FILE, connector);
        return false;
    }
    std::string text(MAX_CONFIG_BYTES + 1, '\0');
    const long n = ReadUpTo(fd, text.data(), text.size());
    struct stat st {};
    const bool statted = fstat(fd, &st) == 0;
    close(fd);
    if (n < 0 || static_cast<size_t>(n) > MAX_CONFIG_BYTES || !statted) {
        fprintf(stderr, "quilmocal: %s is unreadable or larger than %zu bytes: not bound to %s\n", CONFIG_FILE,
                MAX_CONFIG_BYTES, connector);
        return false;
    }
    text.resize(static_cast<size_t>(n));
    std::string bound;
    if (text.find('\0') != std::string::npos || !BindPortText(text, device, connector, &bound)) {
        fprintf(stderr, "quilmocal: no Port line for %s in %s: not bound to %s\n", device, CONFIG_FILE, connector);
        return false;
    }
    snprintf(scratch, sizeof scratch, "%s%s", path, SCRATCH_END);
    if (ReplaceFile(path, scratch, bound, static_cast<int>(st.st_mode & 07777)) != 0) {
        fprintf(stderr, "quilmocal: cannot replace %s: not bound to %s\n", CONFIG_FILE, connector);
        return false;
    }
    printf("bound %s to output %s in %s\n", device, connector, CONFIG_FILE);
    return true;
}
