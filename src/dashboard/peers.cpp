#include "dashboard/peers.h"

PeerResult g_peers[MAX_PEERS];
int g_peer_count;

void load_peer_results() {}
