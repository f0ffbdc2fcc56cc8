#include "app/windows/QrWindowModel.hpp"

#include "links/PairingUri.hpp"

namespace lumenrail {

QrWindowModel::QrWindowModel(uint16_t port, std::optional<Bytes> psk, Ports ports)
    : port_(port), psk_(std::move(psk)), ports_(std::move(ports)) {}

void QrWindowModel::show(bool serving) {
  serving_ = serving;
  candidates_ = ports_.candidates ? ports_.candidates() : std::vector<LanAddress::Candidate>{};
  chosenIndex_ = 0;
  // A client already connected is part of the baseline, not a new arrival.
  baseline_ = count();
  closeIn_ = -1;
  watch_.cancel();
  retired_.cancel();
  if (ports_.main) watch_ = ports_.main->startTimer(kWatchIntervalNs, kWatchIntervalNs, [this] { watchTick(); });
}

const LanAddress::Candidate* QrWindowModel::chosen() const {
  if (chosenIndex_ < 0 || static_cast<size_t>(chosenIndex_) >= candidates_.size()) return nullptr;
  return &candidates_[static_cast<size_t>(chosenIndex_)];
}

void QrWindowModel::choose(int index) {
  chosenIndex_ = index;
  if (onChange) onChange();
}

std::optional<std::string> QrWindowModel::link() const {
  const auto* candidate = chosen();
  if (candidate == nullptr) return std::nullopt;
  return PairingUri::format(candidate->ip, port_, psk_);
}

bool QrWindowModel::copyLink() {
  const auto text = link();
  if (!text || !ports_.clipboard) return false;
  ports_.clipboard->setText(*text);
  copied_ = true;
  if (ports_.main) {
    copiedReset_ = ports_.main->startTimer(kCopiedForNs, 0, [this] {
      copied_ = false;
      if (onChange) onChange();
    });
  }
  if (onChange) onChange();
  return true;
}

void QrWindowModel::watchTick() {
  const int64_t n = count();
  if (n <= baseline_) {
    // A device leaving lowers the baseline, so its return counts as new.
    baseline_ = n;
    closeIn_ = -1;
    return;
  }
  if (closeIn_ < 0) {
    closeIn_ = kCloseAfterTicks;
    if (ports_.log) ports_.log("[qr] device connected, closing in 3 s");
  }
  if (closeIn_ >= 1 && --closeIn_ == 0 && onClose) {
    ticking_ = true;
    onClose();
    ticking_ = false;
  }
}

void QrWindowModel::stopWatching() {
  if (ticking_) {
    retired_ = std::move(watch_);
  } else {
    watch_.cancel();
  }
}

}  // namespace lumenrail
