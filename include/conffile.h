// The configuration file as the daemon and quilmoctl both read it: its path and its comments.
#pragma once

constexpr char CONFIG_FILE[] = "/etc/quilmod.conf";
// 1 when the line's first character after white space is '#'.
int IsComment(char *line);
