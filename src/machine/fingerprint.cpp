#include "machine/fingerprint.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "build_info.h"
#include "machine/paths.h"
#include "machine/sha256.h"

char g_fingerprint[192];

namespace {

constexpr std::size_t CHUNK_BYTES = 65536;

// Feeds the file to the hash until end of file or the first read error; nothing when unopenable.
void hash_file(const char* path, Sha256Ctx* ctx) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  uint8_t chunk[CHUNK_BYTES];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sha256_update(ctx, chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
}

}  // namespace

void format_fingerprint(const char* compiler, const char* flags, const char* exe_path, char* out,
                        std::size_t size) {
  Sha256Ctx ctx;
  sha256_init(&ctx);
  hash_file(exe_path, &ctx);
  uint8_t digest[32];
  sha256_final(&ctx, digest);
  char hex[17];
  for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  // The digest is what ties a result to its binary, so long flags are cut, never the digest.
  const int tail = static_cast<int>(std::strlen(" sha256:") + 16);
  const int head = static_cast<int>(std::strlen(compiler)) + 1;
  int room = static_cast<int>(size) - 1 - tail - head;
  if (room < 0) room = 0;
  std::snprintf(out, size, "%s %.*s sha256:%s", compiler, room, flags, hex);
}

void compute_fingerprint() {
  char path[ROOTED_PATH_MAX];
  if (make_path(path, sizeof path, "/proc/self/exe") < 0) path[0] = '\0';
  format_fingerprint(TFX_COMPILER_TEXT, TFX_FLAGS_TEXT, path, g_fingerprint, sizeof g_fingerprint);
}
