// quilmosim's controller answers: command packets assembled from the port's bytes and answered
// the way the controller answers them.
#include <array>
#include <cstring>

#include "device.h"
#include "sim.h"

static bool two_letter_command(unsigned char first)
{
    return first == 'o' || first == 'p' || first == 'P' || first == 'R';
}

static void controller_answer(const unsigned char *cmd)
{
    std::array<unsigned char, CMD_LEN> reply{};
    reply[0] = 'U';
    if (cmd[1] == 'o' && cmd[2] == 'c') {
        memcpy(reply.data() + 1, "VORTAN", 6);
    } else {
        reply[1] = cmd[1];
        if (two_letter_command(cmd[1]))
            reply[2] = cmd[2];
    }
    reply[7] = check_sum(reply.data());
    AnswerWithFault(reply.data());
}

// Assembles command packets from the received bytes, resynchronising on the next 0x55
// when eight bytes do not make one.
void ControllerFeed(unsigned char b)
{
    if (sim.cmdLen == 0 && b != 0x55)
        return;
    sim.cmd[static_cast<size_t>(sim.cmdLen++)] = b;
    if (sim.cmdLen < CMD_LEN)
        return;
    if (check_sum_data(sim.cmd.data())) {
        controller_answer(sim.cmd.data());
        sim.cmdLen = 0;
        return;
    }
    int next = 1;
    while (next < CMD_LEN && sim.cmd[static_cast<size_t>(next)] != 0x55)
        ++next;
    memmove(sim.cmd.data(), sim.cmd.data() + next, static_cast<size_t>(CMD_LEN - next));
    sim.cmdLen = CMD_LEN - next;
}
