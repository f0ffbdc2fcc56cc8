#include "settings/QuillmarkLockupPath.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "platform/NumberText.hpp"
#include "settings/QuillmarkLockupData.hpp"

namespace lumenrail::QuillmarkLockupPath {

namespace {

PathPoint toViewBox(double x, double y) {
  using namespace QuillmarkLockupData;
  return {x * markScale + markTranslate.x, y * markScale + markTranslate.y};
}

class Parser {
 public:
  bool feed(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      if (!endNumber() || !finishCommand()) return false;
      if (std::string_view("MHVLQZ").find(c) == std::string_view::npos) return false;
      command_ = c;
      numbers_.clear();
      return true;
    }
    if (c == ' ' || c == ',') return endNumber();
    if (c == '-') {
      if (!endNumber()) return false;
      typing_.push_back('-');  // endNumber left it empty
      return true;
    }
    if (c == '.') {
      if (typing_.find('.') != std::string::npos && !endNumber()) return false;
      typing_.push_back(c);
      return true;
    }
    if (c >= '0' && c <= '9') {
      typing_.push_back(c);
      return true;
    }
    return false;
  }

  bool finish() { return endNumber() && finishCommand(); }
  VectorPath take() { return std::move(path_); }

 private:
  bool endNumber() {
    if (typing_.empty()) return true;
    // Only digits, one "." and a leading "-" get here: either the text reads
    // whole as a number or it is not one ("-", ".", "-."). The "." is the
    // decimal point in every process locale.
    const std::optional<double> value = parseWholeDouble(typing_);
    typing_.clear();
    if (!value) return false;
    numbers_.push_back(*value);
    return true;
  }

  bool finishCommand() {
    const std::vector<double>& n = numbers_;
    switch (command_) {
      case '\0':
        return n.empty();
      case 'M':
        if (n.empty() || n.size() % 2 != 0) return false;
        path_.moveTo({n[0], n[1]});
        current_ = {n[0], n[1]};
        for (size_t i = 2; i < n.size(); i += 2) lineTo({n[i], n[i + 1]});
        return true;
      case 'L':
        if (n.empty() || n.size() % 2 != 0) return false;
        for (size_t i = 0; i < n.size(); i += 2) lineTo({n[i], n[i + 1]});
        return true;
      case 'H':
        if (n.empty()) return false;
        for (double x : n) lineTo({x, current_.y});
        return true;
      case 'V':
        if (n.empty()) return false;
        for (double y : n) lineTo({current_.x, y});
        return true;
      case 'Q':
        if (n.empty() || n.size() % 4 != 0) return false;
        for (size_t i = 0; i < n.size(); i += 4) {
          path_.quadTo({n[i], n[i + 1]}, {n[i + 2], n[i + 3]});
          current_ = {n[i + 2], n[i + 3]};
        }
        return true;
      case 'Z':
        if (!n.empty()) return false;
        // The parser keeps its current point: H and V after Z go on from the
        // last drawn point.
        path_.close();
        return true;
      default:
        return false;
    }
  }

  void lineTo(PathPoint p) {
    path_.lineTo(p);
    current_ = p;
  }

  char command_ = '\0';
  std::vector<double> numbers_;
  std::string typing_;
  PathPoint current_{};
  VectorPath path_;
};

}  // namespace

std::optional<VectorPath> parse(std::string_view data) {
  Parser parser;
  for (char c : data) {
    if (!parser.feed(c)) return std::nullopt;
  }
  if (!parser.finish()) return std::nullopt;
  return parser.take();
}

Lockup make() {
  using namespace QuillmarkLockupData;
  Lockup lockup;
  for (int i = 0; i < ringPointCount; ++i) {
    const double angle = ringStartAngle + ringAngleStep * i;
    const PathPoint p = toViewBox(ringCentre.x + ringRadius * std::cos(angle), ringCentre.y + ringRadius * std::sin(angle));
    if (i == 0) {
      lockup.ring.moveTo(p);
    } else {
      lockup.ring.lineTo(p);
    }
  }
  lockup.ringStrokeWidth = ringWidth * markScale;
  for (const Dot& dot : dots) {
    const PathPoint corner = toViewBox(dot.x - dot.radius, dot.y - dot.radius);
    const double side = 2 * dot.radius * markScale;
    lockup.fill.addEllipse({corner.x, corner.y, side, side});
  }
  if (auto word = parse(wordmark)) lockup.fill.append(*word);
  return lockup;
}

}  // namespace lumenrail::QuillmarkLockupPath
