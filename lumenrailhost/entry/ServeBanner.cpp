#include "entry/ServeBanner.hpp"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "links/PairingUri.hpp"

namespace lumenrail::ServeBanner {

namespace {

constexpr int kQuiet = 4;

bool darkAt(const QrCode::Matrix& m, int x, int y) {
  return x >= 0 && y >= 0 && x < m.size && y < m.size && m.at(x, y);
}

}  // namespace

std::string terminalQr(const QrCode::Matrix& m) {
  std::string out;
  const int from = -kQuiet;
  const int to = m.size + kQuiet;
  for (int y = from; y < to; y += 2) {
    out += "\x1b[30;107m";
    for (int x = from; x < to; ++x) {
      const bool top = darkAt(m, x, y);
      const bool bottom = darkAt(m, x, y + 1);
      out += top && bottom ? "\u2588" : top ? "\u2580" : bottom ? "\u2584" : " ";
    }
    out += "\x1b[0m\n";
  }
  return out;
}

std::string text(const std::vector<LanAddress::Candidate>& candidates, uint16_t port, const std::optional<Bytes>& psk,
                 bool qr) {
  const std::string portText = std::to_string(port);
  if (candidates.empty()) {
    return "[qr] no usable LAN IPv4 (offline?) — no pairing link; cable-only";
  }
  std::string out = "[qr] devices on this network can dial port " + portText + " at";
  for (size_t i = 0; i < candidates.size(); ++i) {
    const auto& c = candidates[i];
    out += (i ? ", " : " ") + c.ip + " (" + c.displayName + ")";
  }
  const std::string link = PairingUri::format(candidates.front().ip, port, psk);
  out += "\n[qr] pairing link (scan or paste it on the device): " + link;
  if (qr) {
    if (auto matrix = QrCode::encode(link)) out += "\n" + terminalQr(*matrix);
  }
  if (out.back() == '\n') out.pop_back();
  return out;
}

bool wantsQr() {
  const char* forced = std::getenv("LUMENRAIL_TERMINAL_QR");
  if (forced && std::strcmp(forced, "1") == 0) return true;
  return ::isatty(STDOUT_FILENO) == 1;
}

}  // namespace lumenrail::ServeBanner
