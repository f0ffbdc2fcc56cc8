#pragma once

// Serving with neither pairing nor a key lets anyone on the network watch the
// desktop and post input to it. Every way of serving says so in the same words.

#include <string>

namespace lumenrail::OpenServing {

bool isOpen(bool pairing, bool hasKey);

// "[<tag>] WARN: no pairing and no key — anyone on the network can watch and
// control this desktop (<remedy>)".
std::string warning(const std::string& tag, const std::string& remedy);

}  // namespace lumenrail::OpenServing
