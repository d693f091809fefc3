// The configuration file's comment rule, as the daemon and quilmoctl both apply it.
#include "conffile.h"

#include <cctype>

int IsComment(char *line)
{
    while (isspace((unsigned char)*line))
        line++;
    return *line == '#';
}
