#include "settings/OpenServing.hpp"

namespace lumenrail::OpenServing {

bool isOpen(bool pairing, bool hasKey) { return !pairing && !hasKey; }

std::string warning(const std::string& tag, const std::string& remedy) {
  return "[" + tag + "] WARN: no pairing and no key — anyone on the network can watch and control this desktop (" +
         remedy + ")";
}

}  // namespace lumenrail::OpenServing
