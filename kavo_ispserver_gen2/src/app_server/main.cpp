// kavo_ispserver_gen2: detects the board, shares its state with other processes through System V
// segments, tunes the image pipeline from its settings file and serves ISP requests until SIGINT
// or SIGTERM.
#include "IspServer.h"

int main() { return kavo::isp::ispServerMain(); }
