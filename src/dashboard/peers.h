#pragma once
// Index results of other units, shown beside this run's on the in-process dashboard.

constexpr const char* PEER_FILE = "/usr/app/oxel/var/tallyfox-peers.tsv";
constexpr int MAX_PEERS = 3;

struct PeerResult {
  double value;
  char name[40];
};

extern PeerResult g_peers[MAX_PEERS];
extern int g_peer_count;

void load_peer_results();
