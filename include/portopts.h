// The options a Port line may carry after its device: the monitor it serves and its size.
//   Port = /dev/ttyS1 output=HDMI-A-1 size=527x296
// Readers that know only the first word (older daemons) take the line as before.
#pragma once
#include <cstddef>
#include <string_view>

constexpr size_t CONNECTOR_SIZE = 32;   // DRM connector names are short ("HDMI-A-1", "DP-2")
constexpr int SIZE_MM_MAX = 10000;      // ten metres: beyond any monitor
constexpr size_t OPTION_WORD_MAX = 64;  // a longer word is refused, not cut
constexpr size_t OPTION_NOTES = 512;    // room for the messages of one line

struct PortOptions {
    char output[CONNECTOR_SIZE] = {};  // the kernel's DRM connector name; empty: not bound
    int widthMm = 0, heightMm = 0;     // size=WxH; 0: not given
};

// Reads the words of text (the Port line after its device). Each word that cannot be taken
// leaves one line in notes ("Port DEVICE: option "WORD" ignored: WHY\n") and changes nothing;
// the good words are kept. The count of words ignored.
int ParsePortOptions(std::string_view device, std::string_view text, PortOptions *o, char *notes,
                     size_t notesSize);
// A connector name as the kernel writes it: letters, digits, '-', '_' and '.', 1..31 of them.
bool ValidConnector(std::string_view name);
