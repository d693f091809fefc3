// Fuzz target: calibration files. Whatever the three files of a port hold, the panel gets either
// the file's values or the defaults, and a file is rewritten with defaults only when it is
// missing or malformed; a well-formed file is never touched.
#include <dirent.h>

#include <array>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "fuzzhelp.h"
#include "quilmod.h"

namespace {

constexpr char DIR_PATH[] = "/usr/local/Qelvanto/";
const std::string FLAG = "pt4flag_ttyS0", PT4 = "pt4_ttyS0", PT25 = "pt25_ttyS0";
constexpr int GRID_X[5] = {51, 281, 512, 742, 972};
constexpr int GRID_Y[5] = {38, 211, 384, 556, 729};
const std::string PT4_DEFAULT = "51#38#972#38#51#729#972#729#1024#768#";

std::string pt25_default()
{
    std::string text;
    for (int k = 0; k < 25; k++)
        text += std::to_string(GRID_X[k % 5]) + "#" + std::to_string(GRID_Y[k / 5]) + "#";
    return text + "1024#768#";
}

std::string path_of(const std::string &name)
{
    return FuzzRoot() + DIR_PATH + name;
}

// The file's bytes; *exists says whether it is there at all.
std::string read_file(const std::string &name, bool *exists)
{
    std::ifstream f(path_of(name), std::ios::binary);
    *exists = f.good();
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string &name, const std::vector<uint8_t> &bytes)
{
    std::ofstream f(path_of(name), std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
    if (!f)
        FuzzFail("write %s", name.c_str());
}

// One reading of a data file's first line: accepted, and the fields as parsed (defaults where
// the line has fewer).
struct Reading {
    bool accepted;
    bool lengthOk;  // rejected for its separators only: the four-point size is kept
    std::vector<int> values;
};

// A line taken up to len bytes: count fields, of which the last two default to 1024 and 768.
Reading read_line(const std::string &line, size_t len, size_t maxLen, int count)
{
    Reading r{false, len >= 1 && len <= maxLen, std::vector<int>(count, 0)};
    r.values[count - 2] = 1024;
    r.values[count - 1] = 768;
    int seps = 0;
    size_t start = 0;
    for (size_t i = 0; i < len; i++) {
        if (line[i] != '#')
            continue;
        int field = 0;  // a field without digits is 0
        ScanLong(std::string(line, start, i - start).c_str(), &field);
        if (seps < count)
            r.values[seps] = field;
        seps++;
        start = i + 1;
    }
    r.accepted = r.lengthOk && seps == count;
    return r;
}

// The first line as a C string: at most readMax bytes, through its line end, up to a zero byte.
Reading first_line(const std::string &text, size_t readMax, size_t maxLen, int count)
{
    size_t nl = text.find('\n');
    std::string line = text.substr(0, std::min(nl == std::string::npos ? text.size() : nl + 1, readMax));
    return read_line(line, strnlen(line.c_str(), line.size()), maxLen, count);
}

struct Files {
    bool hasFlag, hasPt4, hasPt25;
    std::string flag, pt4, pt25;
};

Files take_files(FuzzInput &in)
{
    uint8_t present = TakeByte(in);
    Files f{(present & 1) != 0, (present & 2) != 0, (present & 4) != 0, {}, {}, {}};
    size_t flagLen = TakeByte(in) % 8;
    size_t pt4Len = TakeByte(in);
    pt4Len |= size_t{TakeByte(in)} << 8;
    pt4Len %= 512;
    std::vector<uint8_t> rest = TakeRest(in);
    flagLen = std::min(flagLen, rest.size());
    pt4Len = std::min(pt4Len, rest.size() - flagLen);
    f.flag.assign(rest.begin(), rest.begin() + flagLen);
    f.pt4.assign(rest.begin() + flagLen, rest.begin() + flagLen + pt4Len);
    f.pt25.assign(rest.begin() + flagLen + pt4Len, rest.end());
    return f;
}

void put(const std::string &name, bool present, const std::string &text)
{
    unlink(path_of(name).c_str());
    if (present)
        write_file(name, std::vector<uint8_t>(text.begin(), text.end()));
}

// Nothing but the three files may be left in the directory (no scratch files).
void check_directory()
{
    DIR *d = opendir((FuzzRoot() + DIR_PATH).c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr) {
        std::string name = e->d_name;
        if (name != "." && name != ".." && name != FLAG && name != PT4 && name != PT25)
            FuzzFail("stray file %s", name.c_str());
    }
    if (d)
        closedir(d);
}

}  // namespace

namespace {

std::vector<int> pt4_in(const TouchPanel &p)
{
    const Mapping &m = p.mapping;
    return {m.uiULX, m.uiULY, m.uiURX, m.uiURY, m.uiLLX, m.uiLLY, m.uiLRX, m.uiLRY, p.screen_width_4, p.screen_high_4};
}

std::vector<int> grid_in(const int (&plane)[2][5][5], int width, int height)
{
    std::vector<int> v;
    for (int k = 0; k < 25; k++) {
        v.push_back(plane[0][k / 5][k % 5]);
        v.push_back(plane[1][k / 5][k % 5]);
    }
    v.push_back(width);
    v.push_back(height);
    return v;
}

// The values as a data file holds them: "v#v#...#".
std::string fields_text(const std::vector<int> &values)
{
    std::string text;
    for (int v : values)
        text += std::to_string(v) + "#";
    return text;
}

std::vector<int> defaults_of(const std::string &text, int count)
{
    return read_line(text, text.size(), text.size(), count).values;
}

// true = the file was loaded as it is, false = it was replaced by the defaults; anything else fails.
bool loaded(const char *what, bool present, const std::string &before, const Reading &r, const std::vector<int> &got,
            const std::string &after, const std::vector<int> &defaults, bool keepSize)
{
    if (present && r.accepted && got == r.values && after == before)
        return true;
    std::vector<int> want = defaults;
    if (present && keepSize && r.lengthOk) {  // rejected for its separators: the parsed size stays
        want[8] = r.values[8];
        want[9] = r.values[9];
    }
    if (!(present && r.accepted) && got == want && after == fields_text(defaults))
        return false;
    std::string values;
    for (int v : got)
        values += std::to_string(v) + " ";
    FuzzFail("%s file: neither its values nor the defaults, or rewritten where it was well-formed: "
             "values %s, file now '%s'", what, values.c_str(), after.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QuietStdout();
    PrivateRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 2048)
        return -1;
    FuzzInput in{data, size, 0};
    Files f = take_files(in);
    put(FLAG, f.hasFlag, f.flag);
    put(PT4, f.hasPt4, f.pt4);
    put(PT25, f.hasPt25, f.pt25);

    static TouchPanel panel;
    static char device[] = "/dev/ttyS0";
    panel = TouchPanel{};
    panel.device = device;
    for (auto &plane : panel.coef.delta_S)
        for (auto &row : plane)
            for (int &v : row)
                v = 7777;  // a successful read leaves these alone
    SET_PANEL_MAPPING(&panel);

    int flagValue = 0;
    ScanLong(f.flag.substr(0, 2).c_str(), &flagValue);
    int mode = f.hasFlag && flagValue == 25 ? 25 : 4;
    if (panel._25Mode != mode)
        FuzzFail("mode %d where the flag file gives %d", panel._25Mode, mode);

    bool flagAfter, pt4After, pt25After;
    std::string flagText = read_file(FLAG, &flagAfter);
    bool pt4Kept = loaded("four-point", f.hasPt4, f.pt4, first_line(f.pt4, 99, 50, 10), pt4_in(panel),
                          read_file(PT4, &pt4After), defaults_of(PT4_DEFAULT, 10), true);
    bool pt25Kept = loaded("twenty-five-point", f.hasPt25, f.pt25, first_line(f.pt25, 499, 260, 52),
                           grid_in(panel.coef.delta, panel.screen_width_25, panel.screen_high_25),
                           read_file(PT25, &pt25After), defaults_of(pt25_default(), 52), false);
    std::vector<int> marks(50, 7777), deltaS = grid_in(panel.coef.delta_S, 0, 0);
    deltaS.resize(50);
    std::vector<int> gridDefaults = defaults_of(pt25_default(), 52);
    gridDefaults.resize(50);
    if (deltaS != (pt25Kept ? marks : gridDefaults))
        FuzzFail("the second grid is %s", pt25Kept ? "changed by a good file" : "not the default grid");

    // A rejected four-point file resets the mode to 4; a missing flag gets 4 from either writer.
    bool flagWant = !pt4Kept || f.hasFlag || !pt25Kept;
    std::string flagTextWant = !pt4Kept || !f.hasFlag ? "4" : f.flag;
    if (flagAfter != flagWant || (flagWant && flagText != flagTextWant))
        FuzzFail("flag file %s '%s' where '%s' was due", flagAfter ? "holds" : "missing", flagText.c_str(),
                 flagTextWant.c_str());
    check_directory();
    return 0;
}
