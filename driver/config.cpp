// The settings record and the configuration file /etc/quilmod.conf.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>

#include "devdesc.h"
#include "quilmod.h"

Setting TouchSetting;

constexpr char DEFAULT_CONFIG[] =
    " MouseMode = DRAWING\n\rDblClickSpeed = 18\n\rDblClickArea = 30\n\rRClickTool = 0\n\r"
    "Sound = 0\n\rCursor = 0\n\rPort = /dev/Serial_Port_0\n\rPort = /dev/Serial_Port_1\n\r"
    "Port = /dev/USB_Port_0\n\rPort = /dev/USB_Port_1\n\r";
constexpr int LINE_SIZE = 200;     // a longer line is taken in pieces
constexpr int WORD_SIZE = 100;     // key and word values: at most 99 characters
constexpr int NO_MODE_KEPT = 1234;  // marker: no mouse mode remembered across the load
constexpr mode_t DEFAULT_CONFIG_MODE = 0644;

static const char *mode_name(int mode)
{
    return mode ? "DESKTOP" : "DRAWING";
}

void DumpSetting()
{
    printf("Mode: %s\n", mode_name(TouchSetting.mode));
}

// Copies the first white-space-delimited word of text, cut to size − 1 characters.
// 1 = a word was found.
static int first_word(const char *text, char *word, size_t size)
{
    while (isspace((unsigned char)*text))
        text++;
    size_t n = 0;
    while (text[n] && !isspace((unsigned char)text[n]))
        n++;
    if (n == 0)
        return 0;
    if (n >= size)
        n = size - 1;
    memcpy(word, text, n);
    word[n] = '\0';
    return 1;
}

// Sets *field to the index of the word in names (case-insensitive); unknown words change nothing.
static void set_from_words(const char *value, int *field, const char *const *names, int count)
{
    char word[WORD_SIZE];
    if (!first_word(value, word, sizeof word))
        return;
    for (int i = 0; i < count; i++)
        if (strcasecmp(word, names[i]) == 0)
            *field = i;
}

static void set_from_number(const char *value, int *field)
{
    int v;
    if (ScanInt(&value, &v))
        *field = v;
}

int RClickHoldAllowed(long long ms)
{
    return ms == 0 || (ms >= RCLICK_HOLD_MIN && ms <= RCLICK_HOLD_MAX);
}

// A value the long press cannot use leaves it off, and says so.
static void set_rclick_hold(const char *value)
{
    const char *at = value;
    int ms;
    if (ScanInt(&at, &ms) && RClickHoldAllowed(ms)) {
        TouchSetting.rClickHold = ms;
    } else {
        char word[WORD_SIZE] = "";
        first_word(value, word, sizeof word);
        printf("RightClickHold: '%s' is neither 0 nor %d to %d ms; the long press is off\n", word,
               RCLICK_HOLD_MIN, RCLICK_HOLD_MAX);
        TouchSetting.rClickHold = 0;
    }
    printf("Right-Click Hold: %d\n", TouchSetting.rClickHold);
}

static void open_port_line(const char *value)
{
    char device[LINE_SIZE];
    if (!first_word(value, device, sizeof device))
        return;
    // The words after the device were ignored before they meant anything: a line with options
    // opens the same port as ever, and an older daemon still reads a newer file.
    const char *rest = value;
    while (isspace((unsigned char)*rest))
        rest++;
    while (*rest && !isspace((unsigned char)*rest))
        rest++;
    NotePortOptions(device, rest);
    TouchPanel *p = panelList;
    while (p && strcmp(p->device, device) != 0)
        p = p->next;
    TouchPanel *fresh = p ? UpdatePanel(p) : NewPanel(device, 9600);
    if (fresh)
        AddPanel(fresh);
}

static void set_input_device(const char *value)
{
    static const char *const kinds[] = {"touch", "pointer", "none"};
    int k = -1;
    set_from_words(value, &k, kinds, 3);
    if (k < 0)
        printf("InputDevice: not touch, pointer or none; %s kept\n", kinds[InputDeviceKind]);
    else
        InputDeviceKind = static_cast<InputKind>(k);
    printf("Input Device: %s\n", kinds[InputDeviceKind]);
}

static void apply_line(const char *key, const char *value)
{
    static const char *const modes[] = {"DRAWING", "DESKTOP"};
    static const char *const sounds[] = {"None", "Down", "Up"};
    static const char *const cursors[] = {"None", "Display"};
    Setting &s = TouchSetting;
    if (strcasecmp(key, "MouseMode") == 0) {
        set_from_words(value, &s.mode, modes, 2);
        printf("Mouse Mode: %s\n", mode_name(s.mode));
    } else if (strcasecmp(key, "Sound") == 0) {
        set_from_words(value, &s.soundMode, sounds, 3);
        printf("Sound Mode: %s\n", s.soundMode == 0 ? "None" : s.soundMode == 1 ? "Down" : "Up");
    } else if (strcasecmp(key, "Cursor") == 0) {
        set_from_words(value, &s.cursorMode, cursors, 2);
        printf("Cursor Mode: %s\n", s.cursorMode == 0 ? "None" : "Display");
    } else if (strcasecmp(key, "DblClickSpeed") == 0) {
        set_from_number(value, &s.drag_delay);
        printf("Drag Delay time: %d\n", s.drag_delay);
    } else if (strcasecmp(key, "DblClickArea") == 0) {
        set_from_number(value, &s.dblClickArea);
        printf("Dbl-Click Area: %d\n", s.dblClickArea);
    } else if (strcasecmp(key, "RClickTool") == 0) {
        set_from_number(value, &s.rClickTool);
        printf("R-Click Tool: %d\n", s.rClickTool);
    } else if (strcasecmp(key, "InputDevice") == 0) {
        set_input_device(value);
    } else if (strcasecmp(key, "RightClickHold") == 0) {
        set_rclick_hold(value);
    } else if (strcasecmp(key, "Port") == 0) {
        open_port_line(value);
    }
}

void ReadDataFromCfgFile(FILE *fp)
{
    Setting &s = TouchSetting;
    s.mode = 0;
    s.dblClickSpeed = 18;
    s.drag_delay = 18;
    s.dblClickArea = 30;
    s.rClickTool = 0;
    s.soundMode = 0;
    s.cursorMode = 1;
    InputDeviceKind = INPUT_TOUCH;
    s.rClickHold = 0;
    puts("***********ReadDataFromCfgFile***********");
    char line[LINE_SIZE];
    while (fgets(line, sizeof line, fp)) {
        if (IsComment(line))
            continue;
        char *eq = strchr(line, '=');
        if (!eq)
            continue;
        *eq = '\0';
        char key[WORD_SIZE];
        if (first_word(line, key, sizeof key))
            apply_line(key, eq + 1);
    }
}

// Opens the file for reading; creates it with the default text only when it does not exist.
static FILE *open_config()
{
    char path[QLM_PATH];
    if (RootPath(path, sizeof path, CONFIG_FILE)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    FILE *fp = fopen(path, "re");
    if (fp || errno != ENOENT)
        return fp;
    fp = fopen(path, "w+xe");
    if (!fp)
        return nullptr;
    fchmod(fileno(fp), DEFAULT_CONFIG_MODE);  // the tools read it as other users, whatever the umask
    fprintf(fp, "%s\n", DEFAULT_CONFIG);
    rewind(fp);
    return fp;
}

static void align_rclick_tool(int keptMode)
{
    Setting &s = TouchSetting;
    if (!RClickToolExist()) {
        RClickToolNew(s.rClickTool);
    } else if (s.rClickTool) {
        if (keptMode != NO_MODE_KEPT)
            s.mode = keptMode;  // a mode chosen through the tool survives the reset
        RClickToolOn();
    } else {
        RClickToolOff();
    }
}

int LoadPanelSetting()
{
    FILE *fp = open_config();
    if (!fp)
        return 1;
    TouchSetting.count = 0;
    int keptMode = RClickToolExist() && TouchSetting.rClickTool ? TouchSetting.mode : NO_MODE_KEPT;
    ReadDataFromCfgFile(fp);
    align_rclick_tool(keptMode);
    printf("Real Mouse Mode: %s\n", mode_name(TouchSetting.mode));
    if (!panelList)
        puts("warning: no panel found");
    fclose(fp);
    SyncDevices();
    return 0;
}

int GetPanelSetting()
{
    if (LoadPanelSetting() == 0)
        return 0;
    perror("reopen");
    return 1;
}
