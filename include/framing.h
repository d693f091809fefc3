// The controller's 10-byte packet and its framing into the daemon's 8-byte touch record.
#pragma once
#include "quilmo.h"

/*
 * Controller packet, 10 bytes, x and y little-endian:
 *
 *   +------+------+--------+------+------+------+------+------+------+------+
 *   | 0x55 | 0x54 | status | x lo | x hi | y lo | y hi |  --  |  --  |  --  |
 *   +------+------+--------+------+------+------+------+------+------+------+
 *      0      1       2       3      4      5      6      7      8      9
 *   status 0x81, 0x82 = finger on, 0x84 = lifted; anything else is no packet.
 *   Bytes 7 to 9 are never looked at.
 *
 * Touch record handed to ReportFrame, 8 bytes, x and y big-endian:
 *
 *   +------+------+------+------+------+------+------+-------+
 *   | 0x55 | code | x hi | x lo | y hi | y lo | 0x00 | check |
 *   +------+------+------+------+------+------+------+-------+
 *      0      1      2      3      4      5      6       7
 *   code 1 (0x81), 3 (0x82), 7 (0x84); check = sum of bytes 0..6 mod 256.
 */
constexpr unsigned char PACKET_SYNC0 = 0x55;
constexpr unsigned char PACKET_SYNC1 = 0x54;
constexpr unsigned char PACKET_DOWN = 0x81, PACKET_MOVE = 0x82, PACKET_LIFT = 0x84;
constexpr int PACKET_LEN = 10;
constexpr int RECORD_LEN = 8;

// Returns the next touch record (valid until the next call) or null; always
// leaves in panel->buf only what may still become a packet.
unsigned char *DataFilter(TouchPanel *panel);
