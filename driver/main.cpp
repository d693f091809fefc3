// quilmod: touch-screen controller daemon.
#include "quilmod.h"

int main(int argc, char **argv)
{
    return QuilmodMain(argc, argv);
}
