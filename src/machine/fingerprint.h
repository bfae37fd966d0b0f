#pragma once
// "<compiler> <flags> sha256:<16 hex digits of our own executable>", empty until computed.
extern char g_fingerprint[192];

void compute_fingerprint();
