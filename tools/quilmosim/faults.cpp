// quilmosim's faults: their names, how a faulty controller sends its answer, and the noise bytes.
#include <array>
#include <cstring>
#include <string_view>

#include "framing.h"
#include "sim.h"

constexpr size_t NOISE_REPLY = 40;              // beyond the 36 bytes a transaction collects
constexpr unsigned char STRAY_BYTE = 0x2A;

static constexpr std::array<std::string_view, 6> faultNames = {
    "none", "silent", "badsum", "stray", "pieces", "noise"};

unsigned char NoiseByte()
{
    for (;;) {  // xorshift64
        sim.rng ^= sim.rng << 13;
        sim.rng ^= sim.rng >> 7;
        sim.rng ^= sim.rng << 17;
        auto b = static_cast<unsigned char>(sim.rng >> 24);
        if (b != PACKET_SYNC0)
            return b;
    }
}

bool ParseFault(const char *name, Fault *out)
{
    for (size_t i = 0; i < faultNames.size(); ++i) {
        if (faultNames[i] == name) {
            *out = static_cast<Fault>(i);
            return true;
        }
    }
    return false;
}

// Sends the answer to a command (CMD_LEN bytes, checksum last) as the fault in force has it.
void AnswerWithFault(unsigned char *reply)
{
    std::array<unsigned char, NOISE_REPLY> out;
    switch (sim.fault) {
    case FAULT_NONE:
        WriteNow(reply, CMD_LEN);
        break;
    case FAULT_SILENT:
        break;
    case FAULT_BADSUM:
        reply[7] = static_cast<unsigned char>(reply[7] + 1);
        WriteNow(reply, CMD_LEN);
        break;
    case FAULT_STRAY:
        out[0] = STRAY_BYTE;
        memcpy(out.data() + 1, reply, CMD_LEN);
        WriteNow(out.data(), CMD_LEN + 1);
        break;
    case FAULT_PIECES: {
        long long now = NowMs();
        WriteNow(reply, 3);
        Schedule(now + PIECE_GAP_MS, reply + 3, 3);
        Schedule(now + 2 * PIECE_GAP_MS, reply + 6, 2);
        break;
    }
    case FAULT_NOISE:
        for (auto &b : out)
            b = NoiseByte();
        WriteNow(out.data(), out.size());
        break;
    }
}
