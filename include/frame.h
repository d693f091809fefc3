// The 5-byte pointer frame the daemon writes into its data pipes and the tools read.
#pragma once
#include <cstddef>

//   byte 0: 1 0 R 0 0 0 0 T   (0x80 always, R 0x20 right button, T 0x01 touch; else 0)
//   bytes 1-2: x, high byte first; bytes 3-4: y, high byte first
constexpr size_t FRAME_LEN = 5;
constexpr unsigned char FRAME_MARK = 0x80, FRAME_TOUCH = 0x01, FRAME_RIGHT = 0x20;
