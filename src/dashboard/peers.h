#pragma once
// Index results of other units, shown beside this run's on the in-process dashboard.
// File format: one result per line, "<value>\t<label>", value a decimal number above 0.

constexpr const char* PEER_FILE = "/usr/app/oxel/var/tallyfox-peers.tsv";
constexpr int MAX_PEERS = 3;
constexpr int PEER_LINE_BYTES = 160;  // a longer line continues as a line of its own
constexpr int PEER_NAME_BYTES = 40;

struct PeerResult {
  double value;
  char name[PEER_NAME_BYTES];  // at most 39 bytes, as read (not yet made terminal-safe)
};

extern PeerResult g_peers[MAX_PEERS];
extern int g_peer_count;

// Replaces the list with the first valid rows of the peer file (under the path root); a missing,
// unreadable or non-regular file leaves it empty.
void load_peer_results();
// One line as fgets returns it. Returns true and fills out when it holds a finite value above 0,
// a tab, and a non-empty label (cut at CR or LF, then to 39 bytes).
bool parse_peer_line(const char* line, PeerResult* out);
