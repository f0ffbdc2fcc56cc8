#include "wire/PlaintextReader.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "platform/Socket.hpp"
#include "secure/WifiRecordOpener.hpp"
#include "wire/ClientSession.hpp"

namespace lumenrail {

PlaintextReader::PlaintextReader(int fd, WifiRecordOpener* opener, Rejected rejected)
    : fd_(fd), opener_(opener), rejected_(std::move(rejected)) {
  if (opener_) raw_.resize(ClientSession::kReceiveBytes);
}

bool PlaintextReader::readFully(uint8_t* out, size_t n) {
  if (!opener_) return n == 0 || Socket::recvAll(fd_, out, n);
  while (plain_.size() - pos_ < n) {
    if (!receive()) return false;
  }
  std::copy_n(plain_.begin() + static_cast<ptrdiff_t>(pos_), n, out);
  pos_ += n;
  if (pos_ == plain_.size()) {
    plain_.clear();
    pos_ = 0;
  }
  return true;
}

bool PlaintextReader::awaitFirstRecord(uint64_t deadlineNs, const NowNs& clock, uint64_t sliceNs,
                                       const std::atomic<bool>& stopped, bool& timedOut) {
  while (opener_->recordsOpened() == 0) {
    const uint64_t now = clock();
    if (now >= deadlineNs) {
      timedOut = true;
      return false;
    }
    if (stopped) return false;
    pollfd p{fd_, POLLIN, 0};
    const uint64_t slice = std::min<uint64_t>(deadlineNs - now, sliceNs);
    const int ready = ::poll(&p, 1, static_cast<int>((slice + kNsPerMs - 1) / kNsPerMs));
    if (ready < 0 && errno != EINTR) return false;
    if (ready > 0 && !receive()) return false;
  }
  if (opener_->recordsOpened() == 1) firstRecord_ = Crypto::sha256(ByteView(plain_).subspan(pos_));
  return true;
}

bool PlaintextReader::receive() {
  const ssize_t got = Socket::recvSome(fd_, raw_.data(), raw_.size());
  if (got <= 0) return false;
  Bytes opened;
  try {
    opened = opener_->push(ByteView(raw_.data(), static_cast<size_t>(got)));
  } catch (const std::exception& e) {
    rejected_("encrypted record rejected (" + std::string(e.what()) + ") — dropping client " +
                  fdTag(fd_),
              opener_->recordsOpened() == 0);
    return false;
  }
  if (pos_ > 0) {
    plain_.erase(plain_.begin(), plain_.begin() + static_cast<ptrdiff_t>(pos_));
    pos_ = 0;
  }
  plain_.insert(plain_.end(), opened.begin(), opened.end());
  return true;
}

}  // namespace lumenrail
