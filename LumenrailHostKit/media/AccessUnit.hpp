#pragma once

#include "platform/Bytes.hpp"
#include "wire/Wire.hpp"

namespace lumenrail {

namespace AccessUnit {

// Turns a run of NAL units each behind a 4-byte big-endian length into Annex B
// (each unit behind 00 00 00 01). Walks with position p from 4 while p does not
// pass the end: the length L ends at p; a zero length, or one that reaches past
// the end, ends the unit there. H.264 sequence parameter sets are rewritten
// for immediate output (sent as they came when they do not parse). x264's
// own banner SEI is dropped; every other unit is kept.
Bytes fromLengthPrefixed(ByteView sample, Wire::Codec codec);

// The same, appended to `out`: the one copy of the coded bytes between the
// library and the frame packet. Allocates only when `out` must grow.
void appendAnnexB(ByteView sample, Wire::Codec codec, Bytes& out);

}  // namespace AccessUnit

}  // namespace lumenrail
